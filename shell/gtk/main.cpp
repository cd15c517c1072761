#include "AppDelegate.h"
#include "GtkPlatform.h"

int main(int argc, char** argv) {
  zormak::gtk::GtkPlatform application(argc, argv);
  return zormak::ZormakApp::main(application);
}
