// The framed ERROR and WARNING banners of the environment report: a box of
// asterisks whose every line carries the banner's prefix, its kind centred on
// the third line and its text laid out in lines that fit the box.
#pragma once

#include <string>

enum class BannerKind { kError, kWarning };

struct Banner {
  BannerKind kind;
  int width;  // asterisks in the top line
  const char* text;
};

// The report's banners.
extern const Banner kBannerNoWinPCap;           // B1: the capture information could not be had
extern const Banner kBannerNoAdapters;          // B2: no adapter list, or no adapter opened
extern const Banner kBannerDefaultNotOpened;    // B3: the default adapter did not open
extern const Banner kBannerDefaultUnplugged;    // W1: the default adapter is not connected
extern const Banner kBannerDefaultNoPromisc;    // W2: the default adapter has no promiscuous mode
extern const Banner kBannerDefaultLsoEnabled;   // W3: the default adapter offloads segmentation

// The whole banner as one log text, ending with an empty line:
//   top line:    prefix + `width` asterisks
//   framed line: prefix + "**" + (width - 4 characters) + "**"
// Lines 2 and 4 are framed blanks, line 3 the centred kind, then the text
// (words wrapped at blanks, two blanks of margin on each side; a word longer
// than a line is cut), a framed blank and the bottom line of asterisks. A
// width too small for the title is widened to fit it.
std::string FormatBanner(const Banner& banner);

// The line prefix of each kind: "ERROR:  " or "WARNING:  ".
const char* BannerPrefix(BannerKind kind);
