#pragma once

// A growable text buffer with counted references, recycled through a lock-free per-thread
// pool, and TVelSimpleJSON, a small builder of one flat JSON object on top of it.
//
// The buffer holds UTF-8 bytes (the system's text form), so sizes and capacities are counted
// in bytes of UTF-8.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vel {

// Number formatting settings for IStrBuilder::Add(double, settings).
struct TFormatSettings {
  char DecimalSeparator = '.';
};

// The counted interface a builder is used through. Hold it with IStrBuilderRef.
class IStrBuilder {
 public:
  virtual std::int32_t AddRef() noexcept = 0;
  // Drops one reference; at zero the builder goes back to the pool (or is freed).
  virtual std::int32_t Release() noexcept = 0;

  virtual void SetCapacity(std::int32_t Value) = 0;
  virtual std::int32_t Capacity() const = 0;
  virtual std::int32_t Size() const = 0;
  // The bytes in use.
  virtual std::string_view Buffer() const = 0;
  virtual std::string Utf8Buffer() const = 0;
  virtual bool IsEmpty() const = 0;

  virtual IStrBuilder& Add(std::string_view s) = 0;
  virtual IStrBuilder& Add(std::int32_t Value) = 0;
  virtual IStrBuilder& Add(std::int64_t Value) = 0;
  // General format with up to 15 significant digits and '.' as decimal separator.
  virtual IStrBuilder& Add(double Value) = 0;
  virtual IStrBuilder& Add(double Value, const TFormatSettings& Settings) = 0;
  // "true" or "false".
  virtual IStrBuilder& Add(bool Value) = 0;
  // A copy of the other builder's text.
  virtual IStrBuilder& Add(const IStrBuilder& Other) = 0;
  IStrBuilder& Add(const char* s) { return Add(std::string_view(s ? s : "")); }
  IStrBuilder& Add(const std::string& s) { return Add(std::string_view(s)); }
  // Several parts, appended left to right, each by the rules of its one-part form.
  template <typename A, typename B, typename... Rest>
  IStrBuilder& Add(const A& a, const B& b, const Rest&... rest) {
    Add(a);
    return Add(b, rest...);
  }

  virtual std::string ToString() const = 0;
  // Size 0, capacity exactly 2048 bytes.
  virtual void Clear() = 0;

 protected:
  ~IStrBuilder() = default;
};

// Holds one counted reference to an IStrBuilder.
class IStrBuilderRef {
 public:
  IStrBuilderRef() noexcept = default;
  // Takes over a reference that the caller already counted (AddRef not called again).
  static IStrBuilderRef Adopt(IStrBuilder* p) noexcept {
    IStrBuilderRef r;
    r.p_ = p;
    return r;
  }
  IStrBuilderRef(const IStrBuilderRef& o) noexcept : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  IStrBuilderRef(IStrBuilderRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  IStrBuilderRef& operator=(IStrBuilderRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~IStrBuilderRef() { reset(); }
  void reset() noexcept {
    if (p_) {
      IStrBuilder* p = p_;
      p_ = nullptr;
      p->Release();
    }
  }
  IStrBuilder* get() const noexcept { return p_; }
  IStrBuilder* operator->() const noexcept { return p_; }
  IStrBuilder& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  IStrBuilder* p_ = nullptr;
};

// The builder. Used directly as an object, or handed out by GetInstance through counted
// references (then it must live on the heap, which GetInstance ensures).
class TStrBuilder final : public IStrBuilder {
 public:
  static constexpr std::int32_t kDefaultCapacity = 2048;

  explicit TStrBuilder(std::int32_t aCapacity = kDefaultCapacity);
  ~TStrBuilder();
  TStrBuilder(const TStrBuilder&) = delete;
  TStrBuilder& operator=(const TStrBuilder&) = delete;

  // A builder from the calling thread's pool slot, or a new one of 2048 bytes; the returned
  // reference is its only one.
  static IStrBuilderRef GetInstance();
  static void GetInstance(IStrBuilderRef& AStrBuilder) { AStrBuilder = GetInstance(); }

  std::int32_t AddRef() noexcept override;
  std::int32_t Release() noexcept override;

  void SetCapacity(std::int32_t Value) override;
  std::int32_t Capacity() const override { return FCapacity; }
  std::int32_t Size() const override { return FSize; }
  std::string_view Buffer() const override { return std::string_view(FBuf.get(), FSize); }
  std::string Utf8Buffer() const override { return ToString(); }
  bool IsEmpty() const override { return FSize == 0; }
  // The last byte in use, 0 when empty.
  char LastByte() const { return FSize > 0 ? FBuf[FSize - 1] : '\0'; }

  using IStrBuilder::Add;
  IStrBuilder& Add(std::string_view s) override;
  IStrBuilder& Add(std::int32_t Value) override;
  IStrBuilder& Add(std::int64_t Value) override;
  IStrBuilder& Add(double Value) override;
  IStrBuilder& Add(double Value, const TFormatSettings& Settings) override;
  IStrBuilder& Add(bool Value) override;
  IStrBuilder& Add(const IStrBuilder& Other) override;

  std::string ToString() const override { return std::string(FBuf.get(), FSize); }
  void Clear() override;

  // Idle builders currently held by the pool (for tests and diagnostics).
  static int PooledCount();

 private:
  void EnsureRoom(std::int64_t n);

  std::unique_ptr<char[]> FBuf;
  std::int32_t FSize = 0;
  std::int32_t FCapacity = 0;
  std::atomic<std::int32_t> FRefCount{0};
};

// One flat JSON object built pair by pair. Copies share one buffer; Add changes the record it
// is called on and returns a copy for chaining.
class TVelSimpleJSON {
 public:
  // Adds "AName": "AValue" with the value escaped; an empty value adds nothing, and a NUL in
  // the value cuts it there. AName is written as passed.
  TVelSimpleJSON Add(std::string_view AName, std::string_view AValue);
  // Adds "AName": ARawValue with the value written as passed (a nested object or array, a
  // number); an empty value adds nothing.
  TVelSimpleJSON AddRaw(std::string_view AName, std::string_view ARawValue);
  // "{" + pairs + "}", or "" when nothing was added (never "{}").
  std::string ToString() const;

  // The shared buffer of the pairs (without braces); null before the first pair.
  const IStrBuilder* Data() const { return FData.get(); }
  bool NoQuotes() const { return FNoQuotes; }
  // Names written without quotes; the first pair of a record resets it to false.
  void SetNoQuotes(bool Value) { FNoQuotes = Value; }

 private:
  void WritePair(std::string_view AName, std::string_view AValueText);

  IStrBuilderRef FData;
  bool FNoQuotes = false;
};

}  // namespace vel
