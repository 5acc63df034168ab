#include "InterfaceClasses.h"
#include "NSApplication.h"

int main(int argc, char* argv[]) {
    registerInterfaceClasses();
    return NSApplicationMain(argc, argv, TUNER_APP_ID, "MainMenu.ui");
}
