// The window system-free part of the toolkit: the addresses that reach the URL opener.
#include "NSWorkspace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Toolkit, OnlyAbsoluteAddressesReachTheOpener) {
    NSWorkspace& workspace = NSWorkspace::sharedWorkspace();
    const auto open = [&](const std::string& address) {
        return workspace.openURL(NSURL::URLWithString(address));
    };
    EXPECT_FALSE(open("https://example.org/")) << "no opener, yet the page counts as opened";
    std::vector<std::string> opened;
    workspace.setOpener([&](const std::string& address) {
        opened.push_back(address);
        return address != "https://refused.example";
    });
    const std::vector<std::string> valid = {"https://example.org/a?b=c", "mailto:a@b.c",
                                            "x+y-z.1:rest", "https://refused.example"};
    for (const std::string& address : valid) {
        EXPECT_EQ(open(address), address != valid.back()) << address;
    }
    for (const char* address : {"", "example.org", ":x", "https:", "1http://a", "https://a b",
                                "https://a\nb", "ht_tp://a"}) {
        EXPECT_FALSE(open(address)) << address;
    }
    workspace.setOpener({});
    EXPECT_EQ(opened, valid);
}

} // namespace
