#pragma once

// Holds each new file until its writer has closed it, and at most a fixed time after it was
// seen, before it is read. The waits of several files overlap on one thread, so a burst of
// new files costs one wait, not one wait per file.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vel {

namespace settle_detail {

// Tells when files in the watched folders were closed after writing (per operating system:
// Linux is told of each close, Windows asks whether a writer still holds the file open).
class TCloseWatch {
 public:
  TCloseWatch();
  ~TCloseWatch();
  TCloseWatch(const TCloseWatch&) = delete;
  TCloseWatch& operator=(const TCloseWatch&) = delete;

  // Starts noticing closes in folder (not its subfolders). False when it cannot.
  bool AddFolder(const std::string& folder);
  // Blocks until files were closed after writing, Wake was called or timeout passed; returns
  // the full paths of the files closed since the last call. awaited: the files waiting now
  // (each once), for a system that must ask about each file rather than being told.
  std::vector<std::string> Wait(std::chrono::milliseconds timeout,
                                const std::vector<std::string>& awaited);
  // Whether Wait must be given the files waiting: the system is asked about each file rather
  // than being told of closes.
  static bool AsksPerFile();
  // Ends a Wait in progress (or the next one) at once. Any thread.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace settle_detail

class TVelSettleWait {
 public:
  using TReady = std::function<void()>;

  explicit TVelSettleWait(std::chrono::milliseconds maxWait);
  // Stop, then join (at most maxWait).
  ~TVelSettleWait();
  TVelSettleWait(const TVelSettleWait&) = delete;
  TVelSettleWait& operator=(const TVelSettleWait&) = delete;

  // Notices writers closing files in folder from now on.
  void WatchFolder(const std::string& folder);
  // ready runs once path was closed after writing, or maxWait after this call, whichever
  // comes first; on the waiter's thread, or at once on the caller's thread when the close
  // was seen already or the waiter has stopped.
  void Add(const std::string& path, TReady ready);
  // Takes no more files (a later Add runs its ready at once); the files waiting go at their
  // time, then the thread ends.
  void Stop();
  // Files waiting now.
  std::size_t Pending() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TPending {
    std::string Path;
    TReady Ready;
    TClock::time_point Deadline;
  };

  void Run();

  const std::chrono::milliseconds FMaxWait;
  settle_detail::TCloseWatch FWatch;
  mutable std::mutex FLock;
  bool FStopped = false;
  // In order of their deadlines, which is the order of arrival.
  std::list<TPending> FPending;
  std::unordered_multimap<std::string, std::list<TPending>::iterator> FByPath;
  // Files closed before their creation was reported here (the two come by different
  // routes), kept for a short while.
  std::unordered_map<std::string, TClock::time_point> FRecentlyClosed;
  std::jthread FThread;  // last: joined before the state above goes
};

}  // namespace vel
