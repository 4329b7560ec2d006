// What the About box shows: its title, the product line with the product's
// web address, the legal notice and the support address with the subject of
// a support mail.
#pragma once

#include <string>

struct AboutBoxTexts {
  std::string title;          // "About VNTest64UD"
  std::string productLine;    // "Vifnet for Windows Testing Program -- Version 3.9.0.6222-UD"
  std::string productUrl;
  std::string legalNotice;
  std::string supportLabel;   // "Support contact:"
  std::string supportAddress;
  std::string supportMailUrl;  // mailto: with a subject naming the product and version
};
const AboutBoxTexts& AboutBox();

// The name the About box's placement is kept under.
inline constexpr const char* kAboutPlacementName = "About";
