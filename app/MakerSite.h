#pragma once

// The maker's web site: its host is kept here, once; the pages hang off it.
inline constexpr const char kMakerSite[] = "https://larkspin3.example.org";
inline constexpr const char kDonationPagePath[] = "/larkspin3/guitar/donate.html";
