#include "support/SystemHttpClient.h"

#include "http/HttpClientBase.h"
#include "http/WinHttpClient.h"

namespace vel::test {

void UseSystemHttpClient() {
  RegisterWinHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelWinHttpClient");
}

}  // namespace vel::test
