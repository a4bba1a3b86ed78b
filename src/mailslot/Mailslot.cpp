#include "mailslot/Mailslot.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/Exception.h"
#include "common/Utf.h"

namespace vel {

// --- TVelMailslot --------------------------------------------------------------------------

TVelMailslot::TVelMailslot(std::string aServerId) : FServerId(std::move(aServerId)) {}

TVelMailslot::~TVelMailslot() {
  // Derived parts are gone by now, so only the handle is released here; the derived
  // destructors close first so their own state is cleared while they still exist.
  std::lock_guard lock(FLock);
  if (FIsOpen && FHandle != TOsHandle::Invalid) {
    std::string reason;
    CloseOsHandle(FHandle, reason);
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
  }
}

void TVelMailslot::Open() {
  std::lock_guard lock(FLock);
  if (FIsOpen) return;
  DoOpen();
  FActive = true;
}

void TVelMailslot::CloseLocked() {
  if (FIsOpen) {
    DoBeforeClose();
    std::string reason;
    // A server may be open on its second endpoint alone.
    if (FHandle != TOsHandle::Invalid && !CloseOsHandle(FHandle, reason)) {
      throw Exception(std::string(ClassName()) + ".Close: Failed to close Mailslot [" + reason +
                      "]");
    }
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
    DoAfterClose();
    if (FOnClose) FOnClose(*this);
  }
  FActive = false;
}

void TVelMailslot::Close() {
  std::lock_guard lock(FLock);
  CloseLocked();
}

bool TVelMailslot::Active() const {
  std::lock_guard lock(FLock);
  return FActive;
}

void TVelMailslot::SetActive(bool value) {
  std::lock_guard lock(FLock);
  if (value == FIsOpen) return;
  if (value) {
    DoOpen();
  } else {
    CloseLocked();
  }
}

bool TVelMailslot::IsOpen() const {
  std::lock_guard lock(FLock);
  return FIsOpen;
}

std::string TVelMailslot::ServerId() const {
  std::lock_guard lock(FLock);
  return FServerId;
}

void TVelMailslot::SetServerId(const std::string& value) {
  std::lock_guard lock(FLock);
  if (value == FServerId) return;
  const bool wasOpen = FIsOpen;
  if (wasOpen) CloseLocked();
  FServerId = value;
  if (wasOpen) {
    DoOpen();
    FActive = true;
  }
}

std::string TVelMailslot::LastError() const {
  std::lock_guard lock(FLock);
  return FLastError;
}

void TVelMailslot::SetOnOpen(TNotifyEvent proc) {
  std::lock_guard lock(FLock);
  FOnOpen = std::move(proc);
}

void TVelMailslot::SetOnClose(TNotifyEvent proc) {
  std::lock_guard lock(FLock);
  FOnClose = std::move(proc);
}

void TVelMailslot::SetOpenError(const std::string& reason) {
  FLastError = std::string(ClassName()) + ".DoOpen: Could not open Mailslot [" + reason + "]";
}

void TVelMailslot::OpenSucceeded(TOsHandle handle) {
  FHandle = handle;
  FIsOpen = true;
  if (FOnOpen) FOnOpen(*this);
}

// --- TVelMailslotServer --------------------------------------------------------------------

TVelMailslotServer::TVelMailslotServer(std::string aServerId)
    : TVelMailslot(std::move(aServerId)) {}

TVelMailslotServer::~TVelMailslotServer() {
  try {
    Close();
  } catch (const std::exception&) {
    // The base destructor releases the handle regardless.
  }
}

std::string TVelMailslotServer::ChannelName() const {
  std::lock_guard lock(FLock);
  return "\\\\.\\mailslot\\" + FServerId;
}

int32_t TVelMailslotServer::Timeout() const {
  std::lock_guard lock(FLock);
  return FTimeout;
}

void TVelMailslotServer::SetTimeout(int32_t value) {
  std::lock_guard lock(FLock);
  FTimeout = value;
}

uint32_t TVelMailslotServer::MaxMessageSize() const {
  std::lock_guard lock(FQueueLock);
  return FMaxMessageSize;
}

void TVelMailslotServer::SetMaxMessageSize(uint32_t value) {
  std::lock_guard lock(FQueueLock);
  FMaxMessageSize = value;
}

uint32_t TVelMailslotServer::MessageCount() {
  std::lock_guard lock(FLock);
  if (!FIsOpen) return 0;
  std::lock_guard queueLock(FQueueLock);
  DrainAll();
  return static_cast<uint32_t>(FQueue.size());
}

uint32_t TVelMailslotServer::MessageSize() {
  std::lock_guard lock(FLock);
  if (!FIsOpen) return 0;
  std::lock_guard queueLock(FQueueLock);
  DrainAll();
  if (FQueue.empty()) return NoMessage;
  return static_cast<uint32_t>(FQueue.front().size());
}

uint64_t TVelMailslotServer::DroppedCount() const {
  std::lock_guard lock(FQueueLock);
  return FDropped;
}

int TVelMailslotServer::Read(void* buffer, int32_t count) {
  std::lock_guard lock(FLock);
  if (!FIsOpen) return -1;
  std::lock_guard queueLock(FQueueLock);
  DrainAll();
  if (FQueue.empty()) return -1;
  const std::vector<uint8_t>& next = FQueue.front();
  if (count < 0 || next.size() > static_cast<size_t>(count)) return -1;
  if (!next.empty()) std::memcpy(buffer, next.data(), next.size());
  const int result = static_cast<int>(next.size());
  FQueue.pop_front();
  return result;
}

int TVelMailslotServer::Read(std::vector<uint8_t>& stream) {
  std::lock_guard lock(FLock);
  const uint32_t size = MessageSize();
  if (!FIsOpen || size == NoMessage) {
    stream.clear();
    return -1;
  }
  stream.resize(size);
  const int result = Read(stream.data(), static_cast<int32_t>(size));
  stream.resize(result > 0 ? static_cast<size_t>(result) : 0);
  return result;
}

int TVelMailslotServer::Read(std::string& s) {
  std::vector<uint8_t> bytes;
  const int result = Read(bytes);
  if (result > 0) {
    s = Utf16LEBytesToUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<size_t>(result) & ~size_t{1}));
  } else {
    s.clear();
  }
  return result;
}

std::string TVelMailslotServer::ReadAsString() {
  std::string s;
  Read(s);
  return s;
}

bool TVelMailslotServer::SkipMessage() {
  std::lock_guard lock(FLock);
  if (!FIsOpen) return false;
  std::lock_guard queueLock(FQueueLock);
  DrainAll();
  if (FQueue.empty()) return false;
  FQueue.pop_front();
  return true;
}

void TVelMailslotServer::OpenMissing() {
  std::lock_guard lock(FLock);
  if (!FActive || (FIsOpen && FLastError.empty())) return;
  DoOpen();
}

void TVelMailslotServer::DrainAll() {
  Drain(FHandle);
  Drain(FFolderHandle);
}

void TVelMailslotServer::DoBeforeClose() {
  StopReceiver();
  CloseFolderEndpoint();
}

void TVelMailslotServer::DoAfterClose() {
  // Messages that were waiting belong to the closed channel; a reopened one starts empty,
  // as the system's own queue would.
  std::lock_guard queueLock(FQueueLock);
  FQueue.clear();
}

// --- TVelMailslotClient --------------------------------------------------------------------

std::string FormMailslotServerName(const std::string& value) {
  std::string name = value.empty() ? std::string("\\\\.") : value;
  if (name.find("\\\\") == std::string::npos) name = "\\\\" + name;
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

TVelMailslotClient::TVelMailslotClient(std::string aServerId) : TVelMailslot(std::move(aServerId)) {
  SetServerName("");
}

std::string TVelMailslotClient::ChannelName() const {
  std::lock_guard lock(FLock);
  return FServerName + "\\mailslot\\" + FServerId;
}

std::string TVelMailslotClient::ServerName() const {
  std::lock_guard lock(FLock);
  return FServerName;
}

void TVelMailslotClient::SetServerName(const std::string& value) {
  std::lock_guard lock(FLock);
  SetActive(false);
  FServerName = FormMailslotServerName(value);
}

bool TVelMailslotClient::AutoOpen() const {
  std::lock_guard lock(FLock);
  return FAutoOpen;
}

void TVelMailslotClient::SetAutoOpen(bool value) {
  std::lock_guard lock(FLock);
  FAutoOpen = value;
}

int TVelMailslotClient::Write(const std::vector<uint8_t>& stream, int32_t count) {
  if (count < 0 || static_cast<size_t>(count) > stream.size()) return -1;
  return Write(stream.data(), count);
}

int TVelMailslotClient::Write(const std::string& s) {
  if (s.empty()) return 0;
  const std::string bytes = Utf8ToUtf16LEBytes(s);
  if (bytes.size() > static_cast<size_t>(MaxWriteSize)) return -1;
  return Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace vel
