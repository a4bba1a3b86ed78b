// The channel on Windows: a mailslot. The server creates it with a security descriptor whose
// access list is present but empty of rules (a null DACL), so every account on the machine may
// write to it; the client opens it like a file. Waiting messages are taken from the system
// into the in-process queue whenever they are asked about; the system keeps them until then,
// so no receiving thread is needed here.
//
// The drain reads until the system says no message is left rather than trusting the waiting
// count, since some implementations report at most one waiting message.

#include <cstdint>
#include <string>
#include <vector>

#include "common/WinApi_win32.h"
#include "mailslot/Mailslot.h"

namespace vel {
namespace {

using win::FromHandle;
using win::SystemMessage;
using win::ToHandle;
using win::Wide;

// The mailslot's read time-out: reads never wait.
constexpr DWORD kReadTimeoutMs = 0;

}  // namespace

bool TVelMailslot::CloseOsHandle(TOsHandle handle, std::string& reason) {
  if (CloseHandle(ToHandle(handle))) return true;
  reason = SystemMessage(GetLastError());
  return false;
}

void TVelMailslotServer::DoOpen() {
  FLastError.clear();
  FHandle = TOsHandle::Invalid;
  FIsOpen = false;

  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    SetOpenError(SystemMessage(GetLastError()));
    return;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = &descriptor;
  // Not inherited: a child process holding it would keep the name alive after the stop.
  attributes.bInheritHandle = FALSE;

  uint32_t maxSize;
  {
    std::lock_guard queueLock(FQueueLock);
    maxSize = FMaxMessageSize;
    FQueue.clear();
  }
  const HANDLE handle =
      CreateMailslotW(Wide(ChannelName()).c_str(), maxSize, kReadTimeoutMs, &attributes);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // The mailslot namespace has no owner: whoever creates the name first holds it.
    if (error == ERROR_ALREADY_EXISTS)
      SetOpenError(ChannelName() + ": the name is held by another process");
    else
      SetOpenError(ChannelName() + ": " + SystemMessage(error));
    return;
  }
  OpenSucceeded(FromHandle(handle));
}

// Only the Linux server has a second endpoint.
void TVelMailslotServer::CloseFolderEndpoint() {}

// The system keeps waiting messages itself; nothing runs beside the caller.
void TVelMailslotServer::StartReceiver() {}
void TVelMailslotServer::StopReceiver() {}

void TVelMailslotServer::Drain(TOsHandle handleValue) {
  if (handleValue == TOsHandle::Invalid) return;
  const HANDLE handle = ToHandle(handleValue);
  std::vector<uint8_t> buffer;
  for (;;) {
    DWORD nextSize = 0;
    DWORD count = 0;
    if (!GetMailslotInfo(handle, nullptr, &nextSize, &count, nullptr)) return;
    if (nextSize == MAILSLOT_NO_MESSAGE) return;
    // One byte beyond the larger of the announced size and the accepted size: a system that
    // announces less than the message holds (or does not enforce the maximum) then shows an
    // oversized message by filling the spare byte.
    const size_t capacity =
        static_cast<size_t>(nextSize > FMaxMessageSize ? nextSize : FMaxMessageSize) + 1;
    if (buffer.size() < capacity) buffer.resize(capacity);
    DWORD read = 0;
    if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      const DWORD error = GetLastError();
      // Some implementations fail the read of an empty message but take it off the queue;
      // an empty message is kept as one.
      if (error == ERROR_BROKEN_PIPE && nextSize == 0) {
        if (FQueue.size() >= MaxQueuedMessages) {
          ++FDropped;
        } else {
          FQueue.emplace_back();
        }
        continue;
      }
      return;  // ERROR_SEM_TIMEOUT: nothing waits after all; anything else: try next time
    }
    if (read > FMaxMessageSize || FQueue.size() >= MaxQueuedMessages) {
      ++FDropped;
      continue;
    }
    FQueue.emplace_back(buffer.begin(), buffer.begin() + read);
  }
}

void TVelMailslotClient::DoOpen() {
  FLastError.clear();
  FHandle = TOsHandle::Invalid;
  FIsOpen = false;
  // Write sharing as well as read sharing: with read sharing alone, a second writer is
  // refused while another application's report is under way, and its report is lost.
  const HANDLE handle =
      CreateFileW(Wide(ChannelName()).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetOpenError(SystemMessage(GetLastError()));
    return;
  }
  OpenSucceeded(FromHandle(handle));
}

int TVelMailslotClient::Write(const void* buffer, int32_t count) {
  std::lock_guard lock(FLock);
  if (!FIsOpen && FAutoOpen) DoOpen();
  if (!FIsOpen) return -1;
  if (count < 0 || count > MaxWriteSize) return -1;
  DWORD written = 0;
  if (!WriteFile(ToHandle(FHandle), buffer, static_cast<DWORD>(count), &written, nullptr)) {
    // Sizes were checked above, so the server is gone: this handle can never reach a later
    // server of the same name, so drop it and let the next write (with AutoOpen) or Open
    // look again.
    CloseHandle(ToHandle(FHandle));
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
    return -1;
  }
  return static_cast<int>(written);
}

}  // namespace vel
