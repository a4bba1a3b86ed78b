#pragma once

// Lists of strings: TVelNameValueList, a compact list of name/value pairs with a one-line
// delimited form (the status-report wire format), and TVelStringList, a list of lines with
// optional attached objects (HTTP headers, form fields, ignore lists).

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Exception.h"

namespace vel {

// Raised by every failing list operation.
class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

// What a sorted list does with a second entry of the same name (or line).
enum TDuplicates { dupIgnore = 0, dupAccept = 1, dupError = 2 };

struct TNameValueItem {
  std::string FName;
  std::string FValue;
};
using TNameValueArray = std::vector<TNameValueItem>;

class TVelStringList;

// Pairs of (name, value). Names are compared with CompareText (ASCII letters folded). A sorted
// list keeps its names in ascending order and applies the duplicates rule; an unsorted list
// accepts any number of pairs with the same name. Not thread-safe.
class TVelNameValueList {
 public:
  TVelNameValueList();
  virtual ~TVelNameValueList();
  TVelNameValueList(const TVelNameValueList&) = default;
  TVelNameValueList& operator=(const TVelNameValueList&) = default;

  // A new empty list of the same class.
  virtual std::unique_ptr<TVelNameValueList> Create() const;

  // Adds a pair; with an empty value and a name holding the separator, the name is split at
  // its first separator. Returns the index of the pair (in a sorted list with dupIgnore, the
  // index of the existing pair).
  int Add(const std::string& AName, const std::string& AValue);
  // Adds the pair as given, never splitting.
  int FastAdd(const std::string& AName, const std::string& AValue);
  // Add for chaining; the integer forms add the plain decimal text.
  TVelNameValueList& AddPair(const std::string& Name, const std::string& Value);
  TVelNameValueList& AddPair(const std::string& Name, const char* Value);
  TVelNameValueList& AddPair(const std::string& Name, std::int32_t Value);
  TVelNameValueList& AddPair(const std::string& Name, std::int64_t Value);
  // Any other integer type (unsigned counts, long long), also as plain decimal text.
  template <std::integral T>
  requires(!std::same_as<T, bool>) TVelNameValueList& AddPair(const std::string& Name, T Value) {
    return AddPair(Name, std::to_string(Value));
  }

  // Removes every pair and releases the storage (an empty list is left as it is).
  void Clear();
  void Clear(bool aResetCapacity);

  // Bisection over a sorted list: true when found; Index is the match (the first of equal
  // names with dupAccept) or the insertion point.
  bool FindName(std::string_view AName, int& Index) const;
  int IndexOfName(std::string_view AName) const;
  bool ContainsName(std::string_view AName) const;
  // The value of the first pair with that name, or "".
  std::string GetValue(std::string_view Name) const;
  // Replaces the value of the pair found (an empty value included), else adds the pair.
  virtual void SetValue(const std::string& Name, const std::string& Value);
  // Deletes the first pair with that name; true when there was one.
  bool Remove(std::string_view AName);
  void Delete(int Index);
  void Sort();

  // Copies sorted flag, duplicates rule, separator and pairs of the source.
  void Assign(const TVelNameValueList& Source);
  // Appends the pairs of the source as given (nothing for null).
  void AddStrings(const TVelNameValueList* ASource);
  // Appends each line of the source, split at its first separator of this list.
  void AddStrings(const TVelStringList* ASource);

  // Replaces the content with the items of a delimited text: items separated by ADelimiter,
  // an item starting with '"' is quoted (with "" for one quote); names and values are trimmed,
  // items without a name are dropped.
  void SetDelimitedText(std::string_view ADelimitedText, char ADelimiter);
  // The pairs as name, separator, value joined by ADelimiter; an item holding a quote or the
  // delimiter is quoted; a pair with an empty name is written as an empty item.
  std::string GetDelimitedText(std::string_view ADelimiter) const;

  std::string GetName(int Index) const;
  std::string GetValueFromIndex(int Index) const;
  // The name, followed by the separator and the value when the value is not empty.
  std::string GetTextString(int Index) const;
  void SetName(int Index, const std::string& Value);
  virtual void SetValueFromIndex(int Index, const std::string& Value);
  void SetTextString(int Index, const std::string& Value);

  // Property-style readers.
  std::string Strings(int Index) const { return GetTextString(Index); }
  std::string Names(int Index) const { return GetName(Index); }
  std::string Values(std::string_view Name) const { return GetValue(Name); }
  std::string ValueFromIndex(int Index) const { return GetValueFromIndex(Index); }

  int Count() const { return FCount; }
  int Capacity() const { return FCapacity; }
  void SetCapacity(int Value);
  bool Sorted() const { return FSorted; }
  void SetSorted(bool Value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates Value) { FDuplicates = Value; }
  char NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(char Value) { FNameValueSeparator = Value; }
  // One line of name, separator and value per pair, each ended by CR LF.
  std::string Text() const;
  // The storage; its size is the capacity, the first Count() items are in use.
  const TNameValueArray& List() const { return FList; }

 private:
  int InsertPair(std::string AName, std::string AValue);
  void InsertAt(int Index, std::string AName, std::string AValue);
  void Grow();
  void CheckIndex(int Index) const;
  void QuickSort(int L, int R);

  TNameValueArray FList;
  int FCount = 0;
  int FCapacity = 0;
  bool FSorted = false;
  TDuplicates FDuplicates = dupIgnore;
  char FNameValueSeparator = '=';
};

// A list of text lines, each with an optional attached object. Lines of the form
// name<separator>value can be looked up by name (ASCII letters folded, whatever the
// case-sensitivity flag says). With Sorted, lines stay in order by CompareStrings and the
// duplicates rule applies. Not thread-safe.
class TVelStringList {
 public:
  using TObjectRef = std::shared_ptr<void>;

  TVelStringList();
  virtual ~TVelStringList();
  TVelStringList(const TVelStringList& Source);
  TVelStringList& operator=(const TVelStringList& Source);

  // A new list with the content and settings of ASource; the caller owns it.
  static std::unique_ptr<TVelStringList> Clone(const TVelStringList& ASource);

  // Line comparison for sorting, Find, IndexOf and Contains: case-sensitive ordinal when
  // CaseSensitive, else ordinal with ASCII letters folded.
  virtual int CompareStrings(std::string_view S1, std::string_view S2) const;

  int Count() const { return static_cast<int>(FItems.size()); }
  bool IsEmpty() const { return FItems.empty(); }
  // Adds a line (a sorted list inserts it in order and applies the duplicates rule); returns
  // its index.
  int Add(const std::string& S);
  int AddObject(const std::string& S, TObjectRef AObject);
  // Adds the line Name<separator>Value; returns the list for chaining.
  TVelStringList& AddPair(const std::string& Name, const std::string& Value);
  TVelStringList& AddPair(const std::string& Name, const std::string& Value, TObjectRef AObject);
  // Inserts at Index; not allowed on a sorted list.
  void Insert(int Index, const std::string& S);
  void InsertObject(int Index, const std::string& S, TObjectRef AObject);
  void Delete(int Index);
  void Clear();
  void Exchange(int Index1, int Index2);
  void Sort();

  // Index of the whole line S (by CompareStrings), or -1.
  int IndexOf(std::string_view S) const;
  // Bisection over a sorted list; Index is the match or the insertion point.
  bool Find(std::string_view S, int& Index) const;
  // Index of the first line that starts with Name<separator> (ASCII letters folded), or -1.
  virtual int IndexOfName(std::string_view Name) const;
  // Index of the first line whose value part equals AValue exactly, or -1.
  virtual int IndexOfValue(std::string_view AValue) const;
  bool Contains(std::string_view S) const { return IndexOf(S) >= 0; }

  const std::string& Strings(int Index) const;
  void SetStrings(int Index, const std::string& S);
  TObjectRef Objects(int Index) const;
  void SetObjects(int Index, TObjectRef AObject);
  // Name and value parts of a line; both are "" for a line without separator.
  std::string Names(int Index) const;
  std::string ValueFromIndex(int Index) const;
  // Rewrites the line as its name, separator and Value; an empty Value deletes the line.
  void SetValueFromIndex(int Index, const std::string& Value);
  // Value of the line found by IndexOfName, or "".
  std::string Values(std::string_view Name) const;
  // Sets the value of the named line (adding it when missing); an empty value deletes the line.
  void SetValues(const std::string& Name, const std::string& Value);

  // Object of the whole line Name (by IndexOf), or null.
  TObjectRef GetObjectFromName(std::string_view Name) const;
  // Replaces the object of the whole line Name, or adds that line with the object.
  void PutObjectFromName(const std::string& Name, TObjectRef AObject);

  // Appends the lines of the source with their objects.
  virtual void AddStrings(const TVelStringList* Strings);
  // Appends the lines of the source, with their objects when AAddObjects, trimmed of
  // leading and trailing bytes up to 32 when ATrim. Uses the normal add, so a sorted list
  // applies its duplicates rule.
  virtual void AddStrings(const TVelStringList* Strings, bool AAddObjects, bool ATrim);
  void AppendStrings(const TVelStringList* Source, bool ATrim);
  void AssignStrings(const TVelStringList* Source, bool ATrim);
  // Copies lines, objects and settings.
  void Assign(const TVelStringList& Source);

  // Every line followed by CR LF.
  std::string Text() const;
  // Replaces the content with the lines of AText (split at CR LF, LF or CR).
  void SetText(std::string_view AText);
  // Lines joined by ADelimiter; a line holding the delimiter, a quote or a byte up to 32 is
  // quoted with '"' (inner quotes doubled).
  std::string DelimitedText(char ADelimiter = ',') const;

  // 0 for an empty list, else the FNV-1a (Jesteress) hash of Text() as UTF-16LE bytes.
  virtual std::uint32_t GetHashCode() const;

  bool Sorted() const { return FSorted; }
  void SetSorted(bool Value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates Value) { FDuplicates = Value; }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool Value);
  char NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(char Value) { FNameValueSeparator = Value; }
  int Capacity() const { return static_cast<int>(FItems.capacity()); }
  void SetCapacity(int Value);

 private:
  struct TItem {
    std::string FString;
    TObjectRef FObject;
  };
  void CheckIndex(int Index) const;
  void InsertItem(int Index, const std::string& S, TObjectRef AObject);
  void SortItems();

  std::vector<TItem> FItems;
  bool FSorted = false;
  TDuplicates FDuplicates = dupIgnore;
  bool FCaseSensitive = false;
  char FNameValueSeparator = '=';
};

}  // namespace vel
