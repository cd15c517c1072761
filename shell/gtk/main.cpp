#include "AppDelegate.h"
#include "GtkPlatform.h"
#include "Trace.h"

int main(int argc, char** argv) {
  zormak::gtk::trace::mark("main");
  zormak::gtk::GtkPlatform application(argc, argv);
  return zormak::ZormakApp::main(application);
}
