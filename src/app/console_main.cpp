// rureza: the operator console.
#include "app/rureza_app.h"

int main(int argc, char** argv) {
  const bool automation = rureza::RemoveAutomationSwitches(&argc, argv);
  rureza::CRurezaApp app(argc, argv, automation);
  return app.Run();
}
