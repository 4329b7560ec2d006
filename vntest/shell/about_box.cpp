#include "shell/about_box.h"

#include "shell/commands.h"

namespace {
constexpr const char* kVersionText = "3.9.0.6222-UD";

AboutBoxTexts MakeAboutBox() {
  AboutBoxTexts t;
  t.title = std::string("About ") + kProgramName;
  t.productLine = std::string("Vifnet for Windows Testing Program -- Version ") + kVersionText;
  t.productUrl = "https://morvane.example/vntest/";
  t.legalNotice = "Copyright (C) Morvane. All rights reserved.";
  t.supportLabel = "Support contact:";
  t.supportAddress = "support@morvane.example";
  // The subject names the program and its version; blanks are escaped for
  // the mail address's query.
  t.supportMailUrl = "mailto:" + t.supportAddress + "?subject=" + kProgramName + "%20" + kVersionText;
  return t;
}
}  // namespace

const AboutBoxTexts& AboutBox() {
  static const AboutBoxTexts texts = MakeAboutBox();
  return texts;
}
