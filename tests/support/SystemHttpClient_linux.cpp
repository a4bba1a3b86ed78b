#include "support/SystemHttpClient.h"

#include "http/CurlHttpClient.h"
#include "http/HttpClientBase.h"

namespace vel::test {

void UseSystemHttpClient() {
  RegisterCurlHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
}

}  // namespace vel::test
