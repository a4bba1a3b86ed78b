// The client-class registry and the request cycle of the client base.

#include <gtest/gtest.h>

#include "common/StrLists.h"
#include "http/CurlHttpClient.h"
#include "http/HsmStream.h"

namespace vel {
namespace {

// A transport stand-in that records what the base hands it.
class TVelRecordingClient : public TVelHTTPClientBase {
 public:
  std::string lastVerb, lastBody;
  bool fail = false;

 protected:
  bool Run(const char* verb) {
    lastVerb = verb;
    lastBody.clear();
    if (mParamsStream) {
      lastBody.assign(std::istreambuf_iterator<char>(*mParamsStream), {});
    }
    if (fail) throw Exception("transport broke");
    mDataStream->Write(std::string("answer"));
    return true;
  }
  bool InternalGet() override { return Run("GET"); }
  bool InternalDelete() override { return Run("DELETE"); }
  bool InternalPost() override { return Run("POST"); }
  bool InternalPut() override { return Run("PUT"); }
  void AfterExecute() override { mResponseCode = 200; }
  std::string EncodeFormParams(const TVelStringList& params) override {
    std::string s;
    for (int i = 0; i < params.Count(); ++i) s += (i ? "&" : "") + params.Strings(i);
    return s;
  }
};

TEST(HttpClientRegistry, ClassIsSelectedByNameWithThePrefixRule) {
  TVelHTTPClientBase::SetClientClass("");
  try {
    TVelHTTPClientBase::CreateClient();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Default HTTP Client class is not defined");
  }
  try {
    TVelHTTPClientBase::CreateClient("TVelTelegram");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TVelTelegram: Default HTTP Client class is not defined");
  }

  TVelHTTPClientBase::SetClientClass("NoSuchClient");
  EXPECT_EQ(TVelHTTPClientBase::ClientClass(), "TVelNoSuchClient");
  try {
    TVelHTTPClientBase::CreateClient("TVelDiscord");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TVelDiscord: Default HTTP Client class is not registered");
  }

  RegisterCurlHttpClient();
  RegisterCurlHttpClient();  // twice does no harm
  TVelHTTPClientBase::SetClientClass("CurlHttpClient");
  EXPECT_EQ(TVelHTTPClientBase::ClientClass(), "TVelCurlHttpClient");
  auto client = TVelHTTPClientBase::CreateClient();
  EXPECT_NE(dynamic_cast<TVelCurlHttpClient*>(client.get()), nullptr);

  TVelHTTPClientBase::SetClientClass("tvelCurlHttpClient");  // prefix found without case
  EXPECT_EQ(TVelHTTPClientBase::ClientClass(), "tvelCurlHttpClient");
  EXPECT_NE(dynamic_cast<TVelCurlHttpClient*>(TVelHTTPClientBase::CreateClient().get()), nullptr);
  EXPECT_EQ(client->ConnectTimeout(), -1);
  EXPECT_EQ(client->ReadTimeout(), -1);
}

TEST(HttpClientBase, RequestCycleFillsAndResetsTheOutcome) {
  TVelRecordingClient c;
  EXPECT_TRUE(c.Post("HTTPS://host/x", std::string("body"), "text/plain"));
  EXPECT_EQ(c.lastVerb, "POST");
  EXPECT_EQ(c.lastBody, "body");
  EXPECT_TRUE(c.UseSSL());
  EXPECT_EQ(c.ContentType(), "text/plain");
  EXPECT_EQ(c.URL(), "HTTPS://host/x");
  EXPECT_EQ(c.ParamsStream(), nullptr);  // not kept beyond the call
  EXPECT_EQ(c.DataAsString(), "answer");

  TVelStringList form;
  form.Add("a=1");
  form.Add("b=2");
  EXPECT_TRUE(c.Put("http://host/y", std::string("p")));
  EXPECT_EQ(c.lastVerb, "PUT");
  EXPECT_FALSE(c.UseSSL());
  EXPECT_EQ(c.ContentType(), "");
  EXPECT_TRUE(c.Post("http://host/z", form));
  EXPECT_EQ(c.lastBody, "a=1&b=2");
  EXPECT_TRUE(c.Delete("http://host/z"));
  EXPECT_EQ(c.lastVerb, "DELETE");
  EXPECT_TRUE(c.Get("http://host/z", form));
  EXPECT_EQ(c.URL(), "http://host/z?a=1&b=2");

  // A failing transport: false, the message kept, a non-zero code, the store emptied.
  c.fail = true;
  EXPECT_FALSE(c.Get("http://host/"));
  EXPECT_EQ(c.ErrorMessage(), "transport broke");
  EXPECT_EQ(c.ErrorCode(), -1);
  EXPECT_EQ(c.DataAsString(), "");
  c.fail = false;
  EXPECT_TRUE(c.Get("http://host/"));
  EXPECT_EQ(c.ErrorMessage(), "");
  EXPECT_EQ(c.ErrorCode(), 0);
  EXPECT_EQ(c.ResponseCode(), 200);
}

}  // namespace
}  // namespace vel
