// velservermonitor: the monitor service, run by systemd or in the foreground with --console.
#include "service/ServiceHost.h"

int main(int argc, char** argv) {
  return vel::RunServiceHost(argc, argv);
}
