#include "common/StrBuilder.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <new>

#include "common/Exception.h"
#include "common/Strings.h"

namespace vel {

namespace {

// Idle builders, one per slot; each slot has a cache line of its own so that threads using
// neighbouring slots do not contend. Slots are only ever taken and filled by atomic exchange.
constexpr unsigned kPoolSlots = 128;
struct alignas(64) TPoolSlot {
  std::atomic<TStrBuilder*> Builder{nullptr};
};
static_assert(sizeof(TPoolSlot) == 64);
TPoolSlot gPool[kPoolSlots];
// Set when the pool has been emptied at program end; later releases free their builder.
std::atomic<bool> gPoolClosed{false};

struct TPoolCleanup {
  ~TPoolCleanup() {
    gPoolClosed.store(true, std::memory_order_release);
    for (TPoolSlot& slot : gPool) delete slot.Builder.exchange(nullptr, std::memory_order_acq_rel);
  }
} gPoolCleanup;

// The calling thread's slot. The thread identifier is a number handed out in the order threads
// first use the pool, so the first 128 threads each get a slot of their own (a system thread id
// would cluster in a few slots); two threads on one slot only lose reuse.
TPoolSlot& ThreadSlot() {
  static std::atomic<unsigned> nextId{0};
  thread_local const unsigned id = nextId.fetch_add(1, std::memory_order_relaxed);
  return gPool[id & (kPoolSlots - 1)];
}

void Dispose(TStrBuilder* builder) noexcept {
  try {
    builder->Clear();
  } catch (...) {
    delete builder;  // could not get back to a clean 2048-byte buffer
    return;
  }
  if (gPoolClosed.load(std::memory_order_acquire)) {
    delete builder;
    return;
  }
  TPoolSlot& slot = ThreadSlot();
  if (slot.Builder.load(std::memory_order_relaxed) == nullptr) {
    delete slot.Builder.exchange(builder, std::memory_order_acq_rel);
  } else {
    delete builder;
  }
}

// The general floating-point form: up to 15 significant digits, exponent written as E20 or
// E-5. std::to_chars ignores the C locale, so the separator is always '.' here.
std::string FormatGeneral(double value, char decimalSeparator) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string s(buf, res.ptr);
  const std::size_t e = s.find('e');
  if (e != std::string::npos) {
    std::string mantissa = s.substr(0, e);
    std::string exponent = s.substr(e + 1);
    bool negative = false;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
      negative = exponent[0] == '-';
      exponent.erase(0, 1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    s = mantissa + "E" + (negative ? "-" : "") + exponent;
  } else if (s == "inf") {
    s = "INF";
  } else if (s == "-inf") {
    s = "-INF";
  } else if (s == "nan" || s == "-nan") {
    s = "NAN";
  }
  if (decimalSeparator != '.') {
    const std::size_t p = s.find('.');
    if (p != std::string::npos) s[p] = decimalSeparator;
  }
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TStrBuilder

TStrBuilder::TStrBuilder(std::int32_t aCapacity)
    : FBuf(new char[static_cast<std::size_t>(aCapacity > 0 ? aCapacity : 0)]),
      FCapacity(aCapacity > 0 ? aCapacity : 0) {}

TStrBuilder::~TStrBuilder() = default;

IStrBuilderRef TStrBuilder::GetInstance() {
  TStrBuilder* builder = ThreadSlot().Builder.exchange(nullptr, std::memory_order_acq_rel);
  if (builder == nullptr) builder = new TStrBuilder(kDefaultCapacity);
  builder->FRefCount.store(1, std::memory_order_relaxed);
  return IStrBuilderRef::Adopt(builder);
}

int TStrBuilder::PooledCount() {
  int n = 0;
  for (const TPoolSlot& slot : gPool) {
    if (slot.Builder.load(std::memory_order_acquire) != nullptr) ++n;
  }
  return n;
}

std::int32_t TStrBuilder::AddRef() noexcept {
  return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::int32_t TStrBuilder::Release() noexcept {
  const std::int32_t left = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) Dispose(this);
  return left;
}

void TStrBuilder::SetCapacity(std::int32_t Value) {
  if (Value == FCapacity) return;
  if (Value < FSize) throw Exception("TStrBuilder.SetCapacity: capacity below the size in use");
  std::unique_ptr<char[]> buf(new char[static_cast<std::size_t>(Value)]);
  if (FSize > 0) std::memcpy(buf.get(), FBuf.get(), static_cast<std::size_t>(FSize));
  FBuf = std::move(buf);
  FCapacity = Value;
}

void TStrBuilder::EnsureRoom(std::int64_t n) {
  const std::int64_t needed = static_cast<std::int64_t>(FSize) + n;
  if (needed <= FCapacity) return;
  if (needed > std::numeric_limits<std::int32_t>::max())
    throw Exception("TStrBuilder: text too large");
  std::int64_t grown = static_cast<std::int64_t>(FCapacity) * 2;
  if (grown < needed) grown = needed;
  if (grown > std::numeric_limits<std::int32_t>::max())
    grown = std::numeric_limits<std::int32_t>::max();
  SetCapacity(static_cast<std::int32_t>(grown));
}

IStrBuilder& TStrBuilder::Add(std::string_view s) {
  if (s.empty()) return *this;
  EnsureRoom(static_cast<std::int64_t>(s.size()));
  std::memcpy(FBuf.get() + FSize, s.data(), s.size());
  FSize += static_cast<std::int32_t>(s.size());
  return *this;
}

IStrBuilder& TStrBuilder::Add(std::int32_t Value) {
  char buf[16];
  const auto res = std::to_chars(buf, buf + sizeof buf, Value);
  return Add(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

IStrBuilder& TStrBuilder::Add(std::int64_t Value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, Value);
  return Add(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
}

IStrBuilder& TStrBuilder::Add(double Value) {
  return Add(FormatGeneral(Value, '.'));
}

IStrBuilder& TStrBuilder::Add(double Value, const TFormatSettings& Settings) {
  return Add(FormatGeneral(Value, Settings.DecimalSeparator));
}

IStrBuilder& TStrBuilder::Add(bool Value) {
  return Add(Value ? std::string_view("true") : std::string_view("false"));
}

IStrBuilder& TStrBuilder::Add(const IStrBuilder& Other) {
  if (&Other == this) {
    const std::string copy = ToString();
    return Add(std::string_view(copy));
  }
  return Add(Other.Buffer());
}

void TStrBuilder::Clear() {
  FSize = 0;
  SetCapacity(kDefaultCapacity);
}

// ---------------------------------------------------------------------------------------
// TVelSimpleJSON

void TVelSimpleJSON::WritePair(std::string_view AName, std::string_view AValueText) {
  if (!FData) {
    FData = TStrBuilder::GetInstance();
    FNoQuotes = false;
  }
  IStrBuilder& b = *FData;
  if (!b.IsEmpty()) b.Add(",");
  if (FNoQuotes) {
    b.Add(AName, ": ", AValueText);
  } else {
    b.Add("\"", AName, "\": ", AValueText);
  }
}

TVelSimpleJSON TVelSimpleJSON::Add(std::string_view AName, std::string_view AValue) {
  if (AValue.empty()) return *this;
  std::string text;
  text.reserve(AValue.size() + 2);
  text += '"';
  text += EscapeJsonString(AValue, false);  // stops at a NUL
  text += '"';
  WritePair(AName, text);
  return *this;
}

TVelSimpleJSON TVelSimpleJSON::AddRaw(std::string_view AName, std::string_view ARawValue) {
  if (ARawValue.empty()) return *this;
  WritePair(AName, ARawValue);
  return *this;
}

std::string TVelSimpleJSON::ToString() const {
  if (!FData || FData->IsEmpty()) return std::string();
  const std::string_view text = FData->Buffer();
  std::string result;
  result.reserve(text.size() + 2);
  result += '{';
  result += text;
  result += '}';
  return result;
}

}  // namespace vel
