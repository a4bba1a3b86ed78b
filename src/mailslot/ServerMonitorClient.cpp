#include "mailslot/ServerMonitorClient.h"

#include <string>
#include <utility>

#include "common/AppInfo.h"
#include "common/StrLists.h"
#include "common/Threads.h"
#include "mailslot/Mailslot.h"

namespace vel {

// --- TVelServerMonitorHostInfo -------------------------------------------------------------

TVelServerMonitorHostInfo::TVelServerMonitorHostInfo(std::string appName)
    : FStartTime(std::chrono::system_clock::now()), FAppName(std::move(appName)) {}

std::string TVelServerMonitorHostInfo::AppName() const {
  std::lock_guard lock(FLock);
  return FAppName;
}

void TVelServerMonitorHostInfo::SetAppName(const std::string& value) {
  std::lock_guard lock(FLock);
  FAppName = value;
}

std::optional<TVelTimePoint> TVelServerMonitorHostInfo::LastTimeoutSweep() const {
  std::lock_guard lock(FLock);
  return FLastSweep;
}

int32_t TVelServerMonitorHostInfo::LastRemovedSessionCount() const {
  std::lock_guard lock(FLock);
  return FLastRemoved;
}

void TVelServerMonitorHostInfo::SweepDone(TVelTimePoint when, int32_t removedSessions) {
  std::lock_guard lock(FLock);
  FLastSweep = when;
  FLastRemoved = removedSessions;
}

// --- TVelServerMonitorClient ---------------------------------------------------------------

TVelServerMonitorClient::TVelServerMonitorClient(const IVelServerMonitorHost& aOwner,
                                                 int16_t aIntervalMinutes, std::string aMailslotId)
    : FOwner(aOwner),
      FChannel(std::make_unique<TVelMailslotClient>(std::move(aMailslotId))),
      FIntervalMinutes(aIntervalMinutes) {
  FChannel->SetAutoOpen(false);
  FWorkerThread = std::make_unique<TVelTimedThread>("VelServerMonitorClientThread",
                                                    static_cast<int>(aIntervalMinutes) * 60000);
  FWorkerThread->SetExecuteAtStart(true);
  FWorkerThread->SetMethod([this] { GuardedReport(); });
  FWorkerThread->Start();
}

TVelServerMonitorClient::~TVelServerMonitorClient() {
  FWorkerThread->Finish();
  FWorkerThread.reset();  // joins: a report in progress still uses the channel and the owner
}

void TVelServerMonitorClient::GuardedReport() {
  try {
    SendStatusReport();
  } catch (...) {
    // A failing report must neither end the reporting thread nor bother the application;
    // the next interval tries again.
  }
}

std::string TVelServerMonitorClient::BuildStatusMessage() const {
  const TVelMemInfo mem = TVelAppInfo::GetMemoryInfo();
  TVelNameValueList list;
  list.SetNameValueSeparator('=');
  list.FastAdd("StartupTime", FormatReportDateTime(FOwner.StartTime()));
  list.FastAdd("DT", FormatReportDateTime(std::chrono::system_clock::now()));
  list.FastAdd("PacketVer", "1");
  list.FastAdd("AppName", FOwner.AppName());
  list.FastAdd("SessionCount", std::to_string(FOwner.SessionCount()));
  list.FastAdd("RequestCount", std::to_string(FOwner.RequestCount()));
  list.FastAdd("BytesSent", std::to_string(FOwner.BytesSent()));
  list.FastAdd("HandleCount", std::to_string(TVelAppInfo::GetHandleCount()));
  list.FastAdd("MemWS", std::to_string(mem.WorkingSetSize));
  list.FastAdd("MemPWS", std::to_string(mem.PeakWorkingSetSize));
  list.FastAdd("MemPF", std::to_string(mem.PagefileUsage));
  list.FastAdd("MemPPF", std::to_string(mem.PeakPagefileUsage));
  list.FastAdd("Status400", std::to_string(FOwner.Status400Count()));
  list.FastAdd("Status500", std::to_string(FOwner.Status500Count()));
  list.FastAdd("LastTimeoutThreadRun", FormatReportDateTime(FOwner.LastTimeoutSweep()));
  list.FastAdd("LastRemovedSessionCount", std::to_string(FOwner.LastRemovedSessionCount()));
  return list.GetDelimitedText("|");
}

void TVelServerMonitorClient::SendStatusReport() {
  std::lock_guard lock(FReportLock);
  FChannel->Open();
  try {
    FChannel->Write(BuildStatusMessage());
  } catch (...) {
    try {
      FChannel->Close();
    } catch (...) {
      // The first failure is the one worth raising.
    }
    throw;
  }
  FChannel->Close();
}

}  // namespace vel
