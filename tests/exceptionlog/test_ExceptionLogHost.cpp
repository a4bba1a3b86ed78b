// What a hosting application adds: framework and request sections, the report hook and the
// detail text of its error page.

#include <gtest/gtest.h>

#include "ExceptionLogTestUtil.h"
#include "exceptionlog/ExceptionLogger.h"

namespace vel {
namespace {

using test::CrLfLines;
using test::FilesIn;
using test::Separator;

std::string Field(const std::string& label, const std::string& value) {
  std::string line = label;
  line.resize(19, ' ');
  return line + ": " + value;
}

class FakeRequest : public IVelHttpRequest {
 public:
  std::string forwarded;
  bool throws = false;
  std::string RemoteAddr() const override { return "10.0.0.7"; }
  std::string ForwardedFor() const override { return forwarded; }
  std::string PathInfo() const override {
    if (throws) throw std::runtime_error("request gone");
    return "/orders/42";
  }
  std::string Method() const override { return "POST"; }
  std::string UserAgent() const override { return "TestAgent/1.0"; }
  int CookiesCount() const override { return 3; }
  std::string ScriptName() const override { return "/shop"; }
};

class ESecurity : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FakeHost : public IVelExceptionLogHost {
 public:
  bool takeReport = false;
  bool hookThrows = false;
  bool frameworkThrows = false;
  bool showSecurity = false;
  std::vector<std::string> hookedReport;

  bool OnLogException(const std::vector<std::string>& reportInfo) override {
    if (hookThrows) throw std::runtime_error("hook failed");
    hookedReport = reportInfo;
    return takeReport;
  }
  TVelExceptionFacts DescribeException(const std::exception& e, const IVelHttpRequest*) override {
    TVelExceptionFacts facts;
    facts.RunParams = "debug";
    if (dynamic_cast<const ESecurity*>(&e) != nullptr) {
      facts.IsFrameworkException = true;
      facts.IsSecurityException = true;
      facts.IsSessionException = true;
      facts.SessionID = "S-123";
      facts.Details = "token mismatch";
      facts.ExceptionSpecific = "Security check failed. Please restart the application.";
    }
    return facts;
  }
  void GetFrameworkInfo(TVelFrameworkInfo& info, const IVelHttpRequest*) override {
    if (frameworkThrows) throw std::runtime_error("no session");
    info.VelmoraVersion = "15.2";
    info.MultiSession = true;
    info.SessionCount = 4;
    info.ActiveForm = TVelFormRef{true, "MainForm", "TMainForm"};
    info.FormList =
        std::vector<TVelFormRef>{{true, "MainForm", "TMainForm"}, {true, "", "TDialog"}, {}};
    info.Callback = false;
    info.CallbackName = "never shown";
  }
  std::string BaseURL() const override { return "https://shop.test/"; }
  bool ShowSecurityDetails() const override { return showSecurity; }
  std::string ApplicationVersion() const override { return version; }
  std::string version;
};

class ExceptionLogHost : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.SetFilePath(dir.path().string());
    logger.SetEnabled(true);
    logger.SetHost(&host);
  }
  std::vector<std::string> OnlyFileLines() {
    auto files = FilesIn(dir.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::vector<std::string>() : CrLfLines(test::ReadFile(files[0]));
  }
  static std::vector<std::string> Between(const std::vector<std::string>& lines,
                                          const std::string& first, size_t count) {
    auto it = std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(first, 0) == 0; });
    if (it == lines.end()) return {"<missing " + first + ">"};
    return std::vector<std::string>(it, it + std::min<ptrdiff_t>(count, lines.end() - it));
  }

  test::TempDir dir;
  FakeHost host;
  TVelExceptionLogger logger;
};

TEST_F(ExceptionLogHost, ApplicationVersionIsTheApplicationsNeverTheLibrarys) {
  logger.SetReportInfos({riAppInfo});
  struct Case {
    std::string hostVersion, setVersion, shown;
  };
  const Case cases[] = {
      {"", "", ""},            // nobody declared one: no version rather than a wrong one
      {"7.1.0", "", "7.1.0"},  // the host's
      {"7.1.0", "2.0", "2.0"}  // the setter's comes first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    host.version = c.hostVersion;
    logger.SetAppVersion(c.setVersion);
    ASSERT_TRUE(logger.LogException(std::runtime_error("x")));
    EXPECT_EQ(Between(OnlyFileLines(), "Application Version", 1)[0],
              Field("Application Version", c.shown));
    for (const auto& f : FilesIn(dir.path())) std::filesystem::remove(f);
  }
}

TEST_F(ExceptionLogHost, FrameworkAndRequestSectionsInOrder) {
  FakeRequest request;
  request.forwarded = "203.0.113.9";
  ASSERT_TRUE(logger.LogException(std::runtime_error("boom"), &request));
  const auto lines = OnlyFileLines();

  // A plain error met while handling a request carries the restart hint right after the
  // message, where the service removes it.
  EXPECT_EQ(lines[1], Field("Exception message", "boom"));
  EXPECT_EQ(lines[2],
            "Depending on the error condition, it might be possible to restart the application.");
  EXPECT_EQ(lines[3], Field("Exception class", "std::runtime_error"));
  EXPECT_EQ(lines[4], Field("Runtime parameters", "/debug"));

  const std::vector<std::string> framework = {
      Field("Velmora Version", "15.2"),
      Field("Multi-session", "True"),
      Field("Session count", "4"),
  };
  EXPECT_EQ(Between(lines, "Velmora Version", 3), framework);
  const auto thread = Between(lines, "Current Thread ID", 7);
  ASSERT_EQ(thread.size(), 7u);
  EXPECT_EQ(thread[1], Field("Active Form", "MainForm (TMainForm)"));
  EXPECT_EQ(thread[2], "Form list          : [1] MainForm (TMainForm)");
  EXPECT_EQ(thread[3], std::string(21, ' ') + "[2] TDialog");
  EXPECT_EQ(thread[4], std::string(21, ' ') + "[3] [unassigned]");
  EXPECT_EQ(thread[5], Field("Callback", "False"));
  EXPECT_EQ(thread[6], Separator());  // no callback name for a request that was no callback

  const std::vector<std::string> requestLines = {
      Field("Client IP address", "203.0.113.9"),
      Field("Request PathInfo", "/orders/42"),
      Field("Request Method", "POST"),
      Field("Request User Agent", "TestAgent/1.0"),
      Field("Cookies Count", "3"),
  };
  EXPECT_EQ(Between(lines, "Client IP address", 5), requestLines);
}

TEST_F(ExceptionLogHost, FailingSectionsWriteTheirErrorLineAndTheRestStillGoesOut) {
  FakeRequest request;
  request.throws = true;
  host.frameworkThrows = true;
  ASSERT_TRUE(logger.LogException(std::runtime_error("boom"), &request));
  const auto lines = OnlyFileLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Error getting Velmora information: no session"),
            lines.end());
  // The address came before the failure and stays.
  EXPECT_EQ(Between(lines, "Client IP address", 2),
            (std::vector<std::string>{Field("Client IP address", "10.0.0.7"),
                                      "Error getting Request information: request gone"}));
  EXPECT_EQ(lines.back(), Separator());
}

TEST_F(ExceptionLogHost, HookThatTakesTheReportStopsTheFile) {
  host.takeReport = true;
  EXPECT_TRUE(logger.LogException(std::runtime_error("hooked")));
  EXPECT_TRUE(FilesIn(dir.path()).empty());
  ASSERT_GE(host.hookedReport.size(), 2u);
  EXPECT_EQ(host.hookedReport[1], Field("Exception message", "hooked"));

  host.takeReport = false;
  EXPECT_TRUE(logger.LogException(std::runtime_error("declined")));
  EXPECT_EQ(FilesIn(dir.path()).size(), 1u);

  host.hookThrows = true;
  EXPECT_THROW(logger.LogException(std::runtime_error("x")), std::runtime_error);
}

TEST_F(ExceptionLogHost, SecurityDetailsHiddenOnTheErrorPageButNotInTheFile) {
  FakeRequest request;
  const ESecurity e("forged token");
  const std::string detail = logger.GetExceptionDetail(e, &request);
  const auto lines = CrLfLines(detail);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], Separator());
  EXPECT_EQ(lines[1],
            Field("Exception message", "[Error details are disabled in server configuration]"));
  EXPECT_EQ(detail.find("forged token"), std::string::npos);
  EXPECT_EQ(detail.find("token mismatch"), std::string::npos);
  EXPECT_EQ(detail.find("Security check failed"), std::string::npos);
  // HtmlReportInfos: exception, request and stack trace; no application section, and no
  // closing separator after the stack trace.
  EXPECT_EQ(detail.find("Application Name"), std::string::npos);
  EXPECT_NE(detail.find("Client IP address"), std::string::npos);
  EXPECT_NE(lines.back(), Separator());

  const TVelExceptionInfo info = logger.GetErrorInfo(e, &request);
  const auto infoLines = CrLfLines(info.Detail);
  ASSERT_GE(infoLines.size(), 2u);
  EXPECT_EQ(infoLines[1], lines[1]);
  EXPECT_NE(info.Detail.find("Client IP address"), std::string::npos);
  EXPECT_EQ(info.Addr, "https://shop.test/shop/");
  EXPECT_EQ(info.AppID, "S-123");
  EXPECT_EQ(info.Content, "[Error details are disabled in server configuration]");
  EXPECT_EQ(info.RunParams, "/debug");
  EXPECT_EQ(info.ExceptionSpecific, "Security check failed. Please restart the application.");
  EXPECT_TRUE(info.ResourceName.empty());
  EXPECT_TRUE(info.DefaultMessage.empty());

  // The file always shows everything.
  ASSERT_TRUE(logger.LogException(e, &request));
  const auto file = OnlyFileLines();
  EXPECT_EQ(file[1], Field("Exception message", "forged token"));
  EXPECT_EQ(file[2], "Security check failed. Please restart the application.");
  EXPECT_NE(std::find(file.begin(), file.end(), Field("Exception details", "token mismatch")),
            file.end());
  EXPECT_NE(std::find(file.begin(), file.end(), Field("Session ID", "S-123")), file.end());

  host.showSecurity = true;
  EXPECT_NE(logger.GetExceptionDetail(e, &request).find("forged token"), std::string::npos);
}

}  // namespace
}  // namespace vel
