#include "common/StrLists.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/Strings.h"
#include "common/Utf.h"

namespace vel {

namespace {

// Bisection over a sorted list: true when an item compares equal; index is where it is (with
// duplicates accepted, the first of equal items) or where it would be inserted.
template <typename TCompareAt>
bool BisectSorted(int count, TDuplicates duplicates, TCompareAt compareAt, int& index) {
  bool found = false;
  int l = 0;
  int h = count - 1;
  while (l <= h) {
    const int i = (l + h) >> 1;
    const int c = compareAt(i);
    if (c < 0) {
      l = i + 1;
    } else {
      h = i - 1;
      if (c == 0) {
        found = true;
        if (duplicates != dupAccept) l = i;
      }
    }
  }
  index = l;
  return found;
}

constexpr char kIndexOutOfBounds[] = "List index out of bounds (%d)";
constexpr char kCapacityOutOfBounds[] = "List capacity out of bounds (%d)";
constexpr char kSortedListError[] = "Operation not allowed on sorted list";
constexpr char kDuplicateString[] = "String list does not allow duplicates";

[[noreturn]] void RaiseWithNumber(const char* format, long long n) {
  std::string msg(format);
  msg.replace(msg.find("%d"), 2, std::to_string(n));
  throw EStringListError(msg);
}

// The view without leading and trailing bytes up to 32 (the rule of TrimInPlace).
std::string_view TrimmedView(std::string_view s) {
  std::size_t first = 0;
  std::size_t last = s.size();
  while (first < last && static_cast<unsigned char>(s[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(s[last - 1]) <= 32) --last;
  return s.substr(first, last - first);
}

bool IsBlank(std::string_view s) {
  for (unsigned char c : s) {
    if (c > 32) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TVelNameValueList

TVelNameValueList::TVelNameValueList() = default;

TVelNameValueList::~TVelNameValueList() = default;

std::unique_ptr<TVelNameValueList> TVelNameValueList::Create() const {
  return std::make_unique<TVelNameValueList>();
}

void TVelNameValueList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= FCount) RaiseWithNumber(kIndexOutOfBounds, Index);
}

void TVelNameValueList::SetCapacity(int Value) {
  if (Value < FCount) RaiseWithNumber(kCapacityOutOfBounds, Value);
  if (Value == FCapacity) return;
  // Exactly Value slots, in one allocation.
  TNameValueArray fresh;
  fresh.reserve(static_cast<std::size_t>(Value));
  std::move(FList.begin(), FList.begin() + FCount, std::back_inserter(fresh));
  fresh.resize(static_cast<std::size_t>(Value));
  FList.swap(fresh);
  FCapacity = Value;
}

void TVelNameValueList::Grow() {
  // Capacity() follows the small steps of 2 and 4 slots, but the storage underneath at least
  // doubles whenever it must move, so that filling a large list moves each pair only a few
  // times instead of once per step.
  const int target = FCapacity + (FCount < 8 ? 2 : 4);
  const std::size_t wanted = static_cast<std::size_t>(target);
  if (FList.capacity() < wanted) FList.reserve(std::max(wanted, 2 * FList.capacity()));
  FList.resize(wanted);
  FCapacity = target;
}

void TVelNameValueList::InsertAt(int Index, std::string AName, std::string AValue) {
  if (FCount == FCapacity) Grow();
  std::move_backward(FList.begin() + Index, FList.begin() + FCount, FList.begin() + FCount + 1);
  FList[static_cast<std::size_t>(Index)].FName = std::move(AName);
  FList[static_cast<std::size_t>(Index)].FValue = std::move(AValue);
  ++FCount;
}

int TVelNameValueList::InsertPair(std::string AName, std::string AValue) {
  int index = FCount;
  if (FSorted && FindName(AName, index)) {
    if (FDuplicates == dupIgnore) return index;
    if (FDuplicates == dupError) throw EStringListError(kDuplicateString);
  }
  InsertAt(index, std::move(AName), std::move(AValue));
  return index;
}

int TVelNameValueList::Add(const std::string& AName, const std::string& AValue) {
  if (AValue.empty()) {
    const std::size_t sep = AName.find(FNameValueSeparator);
    if (sep != std::string::npos) return InsertPair(AName.substr(0, sep), AName.substr(sep + 1));
  }
  return InsertPair(AName, AValue);
}

int TVelNameValueList::FastAdd(const std::string& AName, const std::string& AValue) {
  return InsertPair(AName, AValue);
}

TVelNameValueList& TVelNameValueList::AddPair(const std::string& Name, const std::string& Value) {
  Add(Name, Value);
  return *this;
}

TVelNameValueList& TVelNameValueList::AddPair(const std::string& Name, const char* Value) {
  Add(Name, Value ? std::string(Value) : std::string());
  return *this;
}

TVelNameValueList& TVelNameValueList::AddPair(const std::string& Name, std::int32_t Value) {
  Add(Name, std::to_string(Value));
  return *this;
}

TVelNameValueList& TVelNameValueList::AddPair(const std::string& Name, std::int64_t Value) {
  Add(Name, std::to_string(Value));
  return *this;
}

void TVelNameValueList::Clear() {
  if (FCount == 0) return;
  FCount = 0;
  FList.clear();
  FList.shrink_to_fit();
  FCapacity = 0;
}

void TVelNameValueList::Clear(bool /*aResetCapacity*/) {
  Clear();
}

bool TVelNameValueList::FindName(std::string_view AName, int& Index) const {
  return BisectSorted(
      FCount, FDuplicates,
      [&](int i) { return CompareText(FList[static_cast<std::size_t>(i)].FName, AName); }, Index);
}

int TVelNameValueList::IndexOfName(std::string_view AName) const {
  if (FSorted) {
    int index;
    return FindName(AName, index) ? index : -1;
  }
  for (int i = 0; i < FCount; ++i) {
    if (CompareText(FList[static_cast<std::size_t>(i)].FName, AName) == 0) return i;
  }
  return -1;
}

bool TVelNameValueList::ContainsName(std::string_view AName) const {
  return IndexOfName(AName) >= 0;
}

std::string TVelNameValueList::GetValue(std::string_view Name) const {
  const int i = IndexOfName(Name);
  return i >= 0 ? FList[static_cast<std::size_t>(i)].FValue : std::string();
}

void TVelNameValueList::SetValue(const std::string& Name, const std::string& Value) {
  const int i = IndexOfName(Name);
  if (i >= 0) {
    FList[static_cast<std::size_t>(i)].FValue = Value;
  } else {
    FastAdd(Name, Value);
  }
}

bool TVelNameValueList::Remove(std::string_view AName) {
  const int i = IndexOfName(AName);
  if (i < 0) return false;
  Delete(i);
  return true;
}

void TVelNameValueList::Delete(int Index) {
  CheckIndex(Index);
  std::move(FList.begin() + Index + 1, FList.begin() + FCount, FList.begin() + Index);
  --FCount;
  FList[static_cast<std::size_t>(FCount)] = TNameValueItem{};
}

void TVelNameValueList::QuickSort(int L, int R) {
  auto cmp = [this](int a, int b) {
    return CompareText(FList[static_cast<std::size_t>(a)].FName,
                       FList[static_cast<std::size_t>(b)].FName);
  };
  int i;
  do {
    i = L;
    int j = R;
    int p = (L + R) >> 1;
    do {
      while (cmp(i, p) < 0) ++i;
      while (cmp(j, p) > 0) --j;
      if (i <= j) {
        if (i != j)
          std::swap(FList[static_cast<std::size_t>(i)], FList[static_cast<std::size_t>(j)]);
        if (p == i) {
          p = j;
        } else if (p == j) {
          p = i;
        }
        ++i;
        --j;
      }
    } while (i <= j);
    if (L < j) QuickSort(L, j);
    L = i;
  } while (i < R);
}

void TVelNameValueList::Sort() {
  if (FCount > 1) QuickSort(0, FCount - 1);
}

void TVelNameValueList::SetSorted(bool Value) {
  // Sorting again also restores the order after SetName changed a name in a sorted list.
  if (Value) Sort();
  FSorted = Value;
}

void TVelNameValueList::Assign(const TVelNameValueList& Source) {
  if (&Source == this) return;
  Clear();
  FSorted = Source.FSorted;
  FDuplicates = Source.FDuplicates;
  FNameValueSeparator = Source.FNameValueSeparator;
  AddStrings(&Source);
}

void TVelNameValueList::AddStrings(const TVelNameValueList* ASource) {
  if (ASource == nullptr) return;
  // Adding a list to itself must not read pairs it is inserting.
  const TNameValueArray items(ASource->FList.begin(), ASource->FList.begin() + ASource->FCount);
  if (FCapacity < FCount + static_cast<int>(items.size()))
    SetCapacity(FCount + static_cast<int>(items.size()));
  for (const TNameValueItem& item : items) FastAdd(item.FName, item.FValue);
}

void TVelNameValueList::AddStrings(const TVelStringList* ASource) {
  if (ASource == nullptr) return;
  if (FCapacity < FCount + ASource->Count()) SetCapacity(FCount + ASource->Count());
  for (int i = 0; i < ASource->Count(); ++i) Add(ASource->Strings(i), std::string());
}

std::string TVelNameValueList::GetDelimitedText(std::string_view ADelimiter) const {
  std::string result;
  std::string item;
  for (int i = 0; i < FCount; ++i) {
    const TNameValueItem& pair = FList[static_cast<std::size_t>(i)];
    item.clear();
    if (!pair.FName.empty()) {
      item.reserve(pair.FName.size() + 1 + pair.FValue.size());
      item += pair.FName;
      item += FNameValueSeparator;
      item += pair.FValue;
    }
    if (item.find('"') != std::string::npos ||
        (!ADelimiter.empty() && item.find(ADelimiter) != std::string::npos)) {
      result += '"';
      for (char c : item) {
        if (c == '"') result += '"';
        result += c;
      }
      result += '"';
    } else {
      result += item;
    }
    result += ADelimiter;
  }
  if (!result.empty()) result.erase(result.size() - ADelimiter.size());
  return result;
}

std::string TVelNameValueList::Text() const {
  static constexpr std::string_view kLineBreak = "\r\n";
  std::string result;
  for (int i = 0; i < FCount; ++i) {
    const TNameValueItem& pair = FList[static_cast<std::size_t>(i)];
    if (!pair.FName.empty()) {
      result += pair.FName;
      result += FNameValueSeparator;
      result += pair.FValue;
    }
    result += kLineBreak;
  }
  if (!result.empty()) result.erase(result.size() - kLineBreak.size());
  if (!result.empty()) result += kLineBreak;
  return result;
}

void TVelNameValueList::SetDelimitedText(std::string_view ADelimitedText, char ADelimiter) {
  Clear();
  const std::string_view text = ADelimitedText;
  std::size_t pos = 0;
  std::string quoted;
  while (pos < text.size()) {
    std::string_view item;
    if (text[pos] == '"') {
      quoted = ExtractQuoted(text, pos, '"');
      item = quoted;
    } else {
      std::size_t end = text.find(ADelimiter, pos);
      if (end == std::string_view::npos) end = text.size();
      item = text.substr(pos, end - pos);
      pos = end;
    }

    const std::size_t sep = item.find(FNameValueSeparator);
    if (sep != std::string_view::npos) {
      const std::string_view name = TrimmedView(item.substr(0, sep));
      if (!name.empty())
        InsertPair(std::string(name), std::string(TrimmedView(item.substr(sep + 1))));
    } else if (!TrimmedView(item).empty()) {
      InsertPair(std::string(item), std::string());
    }

    if (pos < text.size() && text[pos] == ADelimiter) ++pos;
  }
}

std::string TVelNameValueList::GetName(int Index) const {
  CheckIndex(Index);
  return FList[static_cast<std::size_t>(Index)].FName;
}

std::string TVelNameValueList::GetValueFromIndex(int Index) const {
  CheckIndex(Index);
  return FList[static_cast<std::size_t>(Index)].FValue;
}

std::string TVelNameValueList::GetTextString(int Index) const {
  CheckIndex(Index);
  const TNameValueItem& pair = FList[static_cast<std::size_t>(Index)];
  if (pair.FValue.empty()) return pair.FName;
  return pair.FName + FNameValueSeparator + pair.FValue;
}

void TVelNameValueList::SetName(int Index, const std::string& Value) {
  CheckIndex(Index);
  FList[static_cast<std::size_t>(Index)].FName = Value;
}

void TVelNameValueList::SetValueFromIndex(int Index, const std::string& Value) {
  CheckIndex(Index);
  FList[static_cast<std::size_t>(Index)].FValue = Value;
}

void TVelNameValueList::SetTextString(int Index, const std::string& Value) {
  if (FSorted) throw EStringListError(kSortedListError);
  CheckIndex(Index);
  if (IsBlank(Value)) return;
  const std::size_t sep = Value.find(FNameValueSeparator);
  if (sep != std::string::npos) {
    FList[static_cast<std::size_t>(Index)].FName = Value.substr(0, sep);
    SetValueFromIndex(Index, Value.substr(sep + 1));
  } else {
    FList[static_cast<std::size_t>(Index)].FName = Value;
  }
}

// ---------------------------------------------------------------------------------------
// TVelStringList

TVelStringList::TVelStringList() = default;
TVelStringList::~TVelStringList() = default;
TVelStringList::TVelStringList(const TVelStringList& Source) = default;
TVelStringList& TVelStringList::operator=(const TVelStringList& Source) = default;

std::unique_ptr<TVelStringList> TVelStringList::Clone(const TVelStringList& ASource) {
  auto list = std::make_unique<TVelStringList>();
  list->Assign(ASource);
  return list;
}

int TVelStringList::CompareStrings(std::string_view S1, std::string_view S2) const {
  return FCaseSensitive ? CompareStr(S1, S2) : CompareText(S1, S2);
}

void TVelStringList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= Count()) RaiseWithNumber(kIndexOutOfBounds, Index);
}

void TVelStringList::InsertItem(int Index, const std::string& S, TObjectRef AObject) {
  FItems.insert(FItems.begin() + Index, TItem{S, std::move(AObject)});
}

int TVelStringList::Add(const std::string& S) {
  return AddObject(S, nullptr);
}

int TVelStringList::AddObject(const std::string& S, TObjectRef AObject) {
  int index = Count();
  if (FSorted && Find(S, index)) {
    if (FDuplicates == dupIgnore) return index;
    if (FDuplicates == dupError) throw EStringListError(kDuplicateString);
  }
  InsertItem(index, S, std::move(AObject));
  return index;
}

TVelStringList& TVelStringList::AddPair(const std::string& Name, const std::string& Value) {
  Add(Name + FNameValueSeparator + Value);
  return *this;
}

TVelStringList& TVelStringList::AddPair(const std::string& Name, const std::string& Value,
                                        TObjectRef AObject) {
  AddObject(Name + FNameValueSeparator + Value, std::move(AObject));
  return *this;
}

void TVelStringList::Insert(int Index, const std::string& S) {
  InsertObject(Index, S, nullptr);
}

void TVelStringList::InsertObject(int Index, const std::string& S, TObjectRef AObject) {
  if (FSorted) throw EStringListError(kSortedListError);
  if (Index < 0 || Index > Count()) RaiseWithNumber(kIndexOutOfBounds, Index);
  InsertItem(Index, S, std::move(AObject));
}

void TVelStringList::Delete(int Index) {
  CheckIndex(Index);
  FItems.erase(FItems.begin() + Index);
}

void TVelStringList::Clear() {
  FItems.clear();
  FItems.shrink_to_fit();
}

void TVelStringList::Exchange(int Index1, int Index2) {
  CheckIndex(Index1);
  CheckIndex(Index2);
  std::swap(FItems[static_cast<std::size_t>(Index1)], FItems[static_cast<std::size_t>(Index2)]);
}

void TVelStringList::SortItems() {
  std::stable_sort(FItems.begin(), FItems.end(), [this](const TItem& a, const TItem& b) {
    return CompareStrings(a.FString, b.FString) < 0;
  });
}

void TVelStringList::Sort() {
  if (!FSorted && Count() > 1) SortItems();
}

void TVelStringList::SetSorted(bool Value) {
  if (Value == FSorted) return;
  if (Value) SortItems();
  FSorted = Value;
}

void TVelStringList::SetCaseSensitive(bool Value) {
  if (Value == FCaseSensitive) return;
  FCaseSensitive = Value;
  if (FSorted) SortItems();
}

void TVelStringList::SetCapacity(int Value) {
  if (Value < Count()) RaiseWithNumber(kCapacityOutOfBounds, Value);
  if (Value > Capacity()) FItems.reserve(static_cast<std::size_t>(Value));
}

bool TVelStringList::Find(std::string_view S, int& Index) const {
  return BisectSorted(
      Count(), FDuplicates,
      [&](int i) { return CompareStrings(FItems[static_cast<std::size_t>(i)].FString, S); }, Index);
}

int TVelStringList::IndexOf(std::string_view S) const {
  if (FSorted) {
    int index;
    return Find(S, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (CompareStrings(FItems[static_cast<std::size_t>(i)].FString, S) == 0) return i;
  }
  return -1;
}

int TVelStringList::IndexOfName(std::string_view Name) const {
  std::string prefix(Name);
  prefix += FNameValueSeparator;
  // Names are matched with ASCII folding. Bisection finds them only when the sort order folds
  // too; a case-sensitive sorted list scans like an unsorted one.
  if (FSorted && !FCaseSensitive) {
    int index;
    if (Find(prefix, index)) return index;
    if (index < Count() && StartsWithText(prefix, FItems[static_cast<std::size_t>(index)].FString))
      return index;
    return -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (StartsWithText(prefix, FItems[static_cast<std::size_t>(i)].FString)) return i;
  }
  return -1;
}

int TVelStringList::IndexOfValue(std::string_view AValue) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = FItems[static_cast<std::size_t>(i)].FString;
    const std::size_t sep = s.find(FNameValueSeparator);
    const std::string_view value =
        sep == std::string::npos ? std::string_view() : std::string_view(s).substr(sep + 1);
    if (value == AValue) return i;
  }
  return -1;
}

const std::string& TVelStringList::Strings(int Index) const {
  CheckIndex(Index);
  return FItems[static_cast<std::size_t>(Index)].FString;
}

void TVelStringList::SetStrings(int Index, const std::string& S) {
  if (FSorted) throw EStringListError(kSortedListError);
  CheckIndex(Index);
  FItems[static_cast<std::size_t>(Index)].FString = S;
}

TVelStringList::TObjectRef TVelStringList::Objects(int Index) const {
  CheckIndex(Index);
  return FItems[static_cast<std::size_t>(Index)].FObject;
}

void TVelStringList::SetObjects(int Index, TObjectRef AObject) {
  CheckIndex(Index);
  FItems[static_cast<std::size_t>(Index)].FObject = std::move(AObject);
}

std::string TVelStringList::Names(int Index) const {
  const std::string& s = Strings(Index);
  const std::size_t sep = s.find(FNameValueSeparator);
  return sep == std::string::npos ? std::string() : s.substr(0, sep);
}

std::string TVelStringList::ValueFromIndex(int Index) const {
  const std::string& s = Strings(Index);
  const std::size_t sep = s.find(FNameValueSeparator);
  return sep == std::string::npos ? std::string() : s.substr(sep + 1);
}

void TVelStringList::SetValueFromIndex(int Index, const std::string& Value) {
  CheckIndex(Index);
  if (Value.empty()) {
    Delete(Index);
    return;
  }
  std::string name = Names(Index);
  TObjectRef object = FItems[static_cast<std::size_t>(Index)].FObject;
  if (FSorted) {
    // Keep the order: take the line out and add it again.
    Delete(Index);
    AddObject(name + FNameValueSeparator + Value, std::move(object));
  } else {
    FItems[static_cast<std::size_t>(Index)].FString = name + FNameValueSeparator + Value;
  }
}

std::string TVelStringList::Values(std::string_view Name) const {
  const int i = IndexOfName(Name);
  if (i < 0) return std::string();
  return FItems[static_cast<std::size_t>(i)].FString.substr(Name.size() + 1);
}

void TVelStringList::SetValues(const std::string& Name, const std::string& Value) {
  const int i = IndexOfName(Name);
  if (Value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = Name + FNameValueSeparator + Value;
  if (i < 0) {
    Add(line);
  } else if (FSorted) {
    TObjectRef object = FItems[static_cast<std::size_t>(i)].FObject;
    Delete(i);
    AddObject(line, std::move(object));
  } else {
    FItems[static_cast<std::size_t>(i)].FString = std::move(line);
  }
}

TVelStringList::TObjectRef TVelStringList::GetObjectFromName(std::string_view Name) const {
  const int i = IndexOf(Name);
  return i >= 0 ? FItems[static_cast<std::size_t>(i)].FObject : nullptr;
}

void TVelStringList::PutObjectFromName(const std::string& Name, TObjectRef AObject) {
  const int i = IndexOf(Name);
  if (i >= 0) {
    FItems[static_cast<std::size_t>(i)].FObject = std::move(AObject);
  } else {
    AddObject(Name, std::move(AObject));
  }
}

void TVelStringList::AddStrings(const TVelStringList* Strings) {
  AddStrings(Strings, true, false);
}

void TVelStringList::AddStrings(const TVelStringList* Strings, bool AAddObjects, bool ATrim) {
  if (Strings == nullptr) return;
  // A copy, so that adding a list to itself reads only its original lines.
  const std::vector<TItem> source = Strings->FItems;
  SetCapacity(Count() + static_cast<int>(source.size()));
  for (const TItem& item : source) {
    std::string s = item.FString;
    if (ATrim) TrimInPlace(s);
    AddObject(s, AAddObjects ? item.FObject : nullptr);
  }
}

void TVelStringList::AppendStrings(const TVelStringList* Source, bool ATrim) {
  AddStrings(Source, false, ATrim);
}

void TVelStringList::AssignStrings(const TVelStringList* Source, bool ATrim) {
  if (Source == this) {
    const TVelStringList copy(*this);
    Clear();
    AddStrings(&copy, false, ATrim);
    return;
  }
  Clear();
  AddStrings(Source, false, ATrim);
}

void TVelStringList::Assign(const TVelStringList& Source) {
  if (&Source != this) *this = Source;
}

std::string TVelStringList::Text() const {
  std::size_t total = 0;
  for (const TItem& item : FItems) total += item.FString.size() + 2;
  std::string result;
  result.reserve(total);
  for (const TItem& item : FItems) {
    result += item.FString;
    result += "\r\n";
  }
  return result;
}

void TVelStringList::SetText(std::string_view AText) {
  Clear();
  std::size_t pos = 0;
  while (pos < AText.size()) {
    std::size_t end = AText.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = AText.size();
    Add(std::string(AText.substr(pos, end - pos)));
    pos = end;
    if (pos < AText.size() && AText[pos] == '\r') ++pos;
    if (pos < AText.size() && AText[pos] == '\n') ++pos;
  }
}

std::string TVelStringList::DelimitedText(char ADelimiter) const {
  std::string result;
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    const std::string& s = FItems[i].FString;
    if (i > 0) result += ADelimiter;
    const bool quote = s.empty() || std::any_of(s.begin(), s.end(), [ADelimiter](char c) {
                         return static_cast<unsigned char>(c) <= 32 || c == '"' || c == ADelimiter;
                       });
    if (!quote) {
      result += s;
      continue;
    }
    result += '"';
    for (char c : s) {
      if (c == '"') result += '"';
      result += c;
    }
    result += '"';
  }
  return result;
}

std::uint32_t TVelStringList::GetHashCode() const {
  if (FItems.empty()) return 0;
  const std::string bytes = Utf8ToUtf16LEBytes(Text());
  constexpr std::uint32_t kPrime = 709607;
  std::uint32_t hash = 2166136261u;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  auto read32 = [](const unsigned char* q) {
    return static_cast<std::uint32_t>(q[0]) | (static_cast<std::uint32_t>(q[1]) << 8) |
           (static_cast<std::uint32_t>(q[2]) << 16) | (static_cast<std::uint32_t>(q[3]) << 24);
  };
  auto rol5 = [](std::uint32_t x) { return (x << 5) | (x >> 27); };
  for (; n >= 8; n -= 8, p += 8) hash = (hash ^ (rol5(read32(p)) ^ read32(p + 4))) * kPrime;
  if (n & 4) {
    hash = (hash ^ read32(p)) * kPrime;
    p += 4;
  }
  if (n & 2) {
    hash = (hash ^ (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8))) *
           kPrime;
    p += 2;
  }
  if (n & 1) hash = (hash ^ p[0]) * kPrime;
  return hash ^ (hash >> 16);
}

}  // namespace vel
