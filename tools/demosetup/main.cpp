// Demo setup program: started by the wizard with no arguments, it talks to
// the simulated device through the bridge's local TCP server.

#include "DemoClient.h"
#include "DemoWindow.h"

#include <QApplication>

int main(int argc, char **argv) {
  QApplication application(argc, argv);
  TDemoClient client;
  TDemoWindow window(&client);
  window.show();
  client.Start();
  return application.exec();
}
