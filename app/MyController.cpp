#include "MyController.h"

#include "MakerSite.h"
#include "NSWorkspace.h"
#include "audio/MySoundPort.h"

#include <string>

namespace {

// Whether the page opened is not looked at: a desktop without a browser changes nothing.
void openPage(const std::string& address) {
    NSWorkspace::sharedWorkspace().openURL(NSURL::URLWithString(address));
}

} // namespace

void MyController::awakeFromNib() {
    if (soundPort == nullptr) {
        return;
    }
    soundPort->setup();
    soundPort->start();
}

void MyController::donate(NSObject*) {
    openPage(std::string(kMakerSite) + kDonationPagePath);
}

void MyController::visit(NSObject*) {
    openPage(std::string(kMakerSite) + "/");
}
