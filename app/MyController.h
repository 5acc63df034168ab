#pragma once

#include "NSObject.h"

class MySoundPort;

// Starts the audio engine once the interface is loaded and opens the maker's pages.
class MyController : public NSObject {
public:
    void awakeFromNib() override;
    void donate(NSObject* sender);
    void visit(NSObject* sender);

    MySoundPort* soundPort = nullptr; // outlet, not owned
};
