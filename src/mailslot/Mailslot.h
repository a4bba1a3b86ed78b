#pragma once

// One-way datagram channel between processes on this machine. The receiving end
// (TVelMailslotServer) owns the name and reads whole messages; the sending end
// (TVelMailslotClient) writes whole messages to an existing server. Channel names look like
// \\.\mailslot\<ServerId>. Text travels as UTF-16LE code units (no byte-order mark, no
// terminator); in this process text is UTF-8.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/OsHandle.h"

namespace vel {

class TVelMailslot {
 public:
  using TNotifyEvent = std::function<void(TVelMailslot& sender)>;

  explicit TVelMailslot(std::string aServerId);
  // Closes when open; a failing close is swallowed here (destructors do not throw).
  virtual ~TVelMailslot();
  TVelMailslot(const TVelMailslot&) = delete;
  TVelMailslot& operator=(const TVelMailslot&) = delete;

  // When not open: DoOpen, then Active becomes true whether or not the open worked.
  void Open();
  // When open: closes the handle; on failure raises vel::Exception
  // "<class>.Close: Failed to close Mailslot [<system message>]" and stays open.
  // Otherwise Active becomes false (also when nothing was open).
  void Close();

  // An open was asked for (set by Open, cleared by Close).
  bool Active() const;
  // Equal to IsOpen(): nothing; true: DoOpen (Active left as it was); false: Close.
  void SetActive(bool value);
  // A handle is open.
  bool IsOpen() const;

  std::string ServerId() const;
  // A different name closes an open endpoint, stores the name and reopens it.
  void SetServerId(const std::string& value);

  virtual std::string ChannelName() const = 0;

  // Text of the last failed open; empty after a successful one.
  std::string LastError() const;

  void SetOnOpen(TNotifyEvent proc);
  void SetOnClose(TNotifyEvent proc);

  // Class name used in error texts ("TVelMailslotServer", "TVelMailslotClient").
  virtual const char* ClassName() const = 0;

 protected:
  // Opens the handle; on failure records LastError, raises nothing. Called with FLock held.
  virtual void DoOpen() = 0;
  // Releases what DoOpen acquired besides the handle, before and after the handle is
  // closed (the server's receiving thread and queue). FLock held.
  virtual void DoBeforeClose() {}
  virtual void DoAfterClose() {}
  // Sets LastError to "<class>.DoOpen: Could not open Mailslot [<reason>]".
  void SetOpenError(const std::string& reason);
  // Marks the endpoint open with handle and calls OnOpen. FLock held.
  void OpenSucceeded(TOsHandle handle);

  // Guards every member below: the service closes the mailslot on its stop thread while
  // the poll thread may still be reading.
  mutable std::recursive_mutex FLock;
  TOsHandle FHandle = TOsHandle::Invalid;
  bool FIsOpen = false;
  bool FActive = false;
  TNotifyEvent FOnOpen;
  TNotifyEvent FOnClose;
  std::string FServerId;
  std::string FLastError;

 private:
  void CloseLocked();
  // Closes an OS handle; false with the system's message text in reason on failure.
  static bool CloseOsHandle(TOsHandle handle, std::string& reason);
};

// The receiving end. Messages are taken from the system into an in-process queue as they
// are asked about, so MessageCount is exact and MessageSize tells the size of the next one.
class TVelMailslotServer : public TVelMailslot {
 public:
  // MessageSize when no message waits.
  static constexpr uint32_t NoMessage = 0xFFFFFFFFu;
  // Waiting messages kept at most; further ones are dropped and counted.
  static constexpr size_t MaxQueuedMessages = 10000;

  explicit TVelMailslotServer(std::string aServerId);
  ~TVelMailslotServer() override;

  std::string ChannelName() const override;  // \\.\mailslot\ + ServerId
  const char* ClassName() const override { return "TVelMailslotServer"; }

  int32_t Timeout() const;  // kept for callers; reads never wait
  void SetTimeout(int32_t value);
  // Largest message accepted, in bytes (8192: 4096 UTF-16 code units). Larger messages
  // are dropped and counted. Takes effect for messages that arrive afterwards.
  uint32_t MaxMessageSize() const;
  void SetMaxMessageSize(uint32_t value);

  // Number of waiting messages; 0 when not open.
  uint32_t MessageCount();
  // Size in bytes of the next waiting message; 0 when not open, NoMessage when none waits.
  uint32_t MessageSize();
  // Messages lost because the queue was full or they were larger than MaxMessageSize.
  uint64_t DroppedCount() const;

  // Takes the next message into buffer: its size in bytes, or -1 when not open, when none
  // waits, or when it is larger than count (it then stays queued).
  int Read(void* buffer, int32_t count);
  // The next message as bytes; stream is empty when the read fails. Returns as above.
  int Read(std::vector<uint8_t>& stream);
  // The next message as text (UTF-16LE decoded; an odd trailing byte is dropped and
  // ill-formed code units are replaced). s is empty when the result is not positive.
  int Read(std::string& s);
  std::string ReadAsString();
  // Drops the next waiting message without reading it; false when none waits.
  bool SkipMessage();
  // While an open is asked for (Active), opens what is not open yet: a name that another
  // process held may have been freed since. LastError then tells what is still missing
  // (empty when nothing is); Close stops the retries.
  void OpenMissing();

 protected:
  void DoOpen() override;
  void DoBeforeClose() override;
  void DoAfterClose() override;

 private:
  // Moves every datagram waiting in the socket into FQueue. FQueueLock held.
  void Drain(TOsHandle handle);
  // Drain of every endpoint that is open. FLock and FQueueLock held.
  void DrainAll();
  // Releases the endpoint in the service's own folder (Linux), removing its socket file
  // when it is still this server's. FLock held, receiver stopped.
  void CloseFolderEndpoint();
  // A thread that takes datagrams off the socket as they come, so the system's small
  // per-socket queue never refuses a sender while nobody reads.
  void StartReceiver();
  void StopReceiver();

  int32_t FTimeout = 1;
  // FQueueLock guards the queue, the drop count and the size limit; it is taken after
  // FLock, and the receiving thread takes only this one.
  mutable std::mutex FQueueLock;
  uint32_t FMaxMessageSize = 8192;
  std::deque<std::vector<uint8_t>> FQueue;
  uint64_t FDropped = 0;
  std::thread FReceiver;
  TOsHandle FWakeHandle = TOsHandle::Invalid;
  // Linux: the socket in the folder where only the service's user can create one, beside
  // the abstract name in FHandle; either may be open alone. Unused on Windows.
  TOsHandle FFolderHandle = TOsHandle::Invalid;
  std::string FFolderSocketPath;
  uint64_t FFolderSocketInode = 0;
};

// The sending end.
class TVelMailslotClient : public TVelMailslot {
 public:
  // Largest message the channel carries, in bytes.
  static constexpr int32_t MaxWriteSize = 8192;

  explicit TVelMailslotClient(std::string aServerId);

  // ServerName + \mailslot\ + ServerId
  std::string ChannelName() const override;
  const char* ClassName() const override { return "TVelMailslotClient"; }

  std::string ServerName() const;
  // Closes an open client, then stores the name formed this way: empty becomes "\\."; a
  // name without "\\" gets it in front; ASCII letters in upper case. Does not reopen.
  void SetServerName(const std::string& value);
  bool AutoOpen() const;
  void SetAutoOpen(bool value);

  // Sends count bytes as one message: count when sent, -1 when not open (after trying to
  // open when AutoOpen), when count is over MaxWriteSize, or when the server is gone.
  int Write(const void* buffer, int32_t count);
  int Write(const std::vector<uint8_t>& stream, int32_t count);
  // Sends s as UTF-16LE code units: 0 for an empty string (nothing sent), else as above.
  int Write(const std::string& s);

 protected:
  void DoOpen() override;

 private:
  std::string FServerName = "\\\\.";
  bool FAutoOpen = true;
};

// The server-name forming rule of TVelMailslotClient::SetServerName.
std::string FormMailslotServerName(const std::string& value);

}  // namespace vel
