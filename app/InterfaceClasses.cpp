#include "InterfaceClasses.h"

#include "MyController.h"
#include "MySoundPort.h"
#include "MyWindowDel.h"
#include "NSClassRegistry.h"
#include "NSTextField.h"
#include "SoundView.h"

void registerInterfaceClasses() {
    using R = NSClassRegistry;
    R::registerClass<MyController>("MyController");
    R::registerOutlet("MyController", "soundPort", &MyController::soundPort);
    R::registerOutlet("MyController", "statusLine", &MyController::statusLine);
    R::registerAction("MyController", "donate:", &MyController::donate);
    R::registerAction("MyController", "visit:", &MyController::visit);

    R::registerClass<MySoundPort>("MySoundPort");
    R::registerOutlet("MySoundPort", "mInputView", &MySoundPort::mInputView);

    R::registerViewClass<SoundView>("SoundView");
    R::registerAction("SoundView", "toggleAutoSelect:", &SoundView::toggleAutoSelect);

    R::registerClass<MyWindowDel>("MyWindowDel");
    R::registerOutlet("MyWindowDel", "window", &MyWindowDel::window);
    R::registerAction("MyWindowDel", "reopenWindow:", &MyWindowDel::reopenWindow);
}
