// The environment report's banners (see banner.h).
#include "shell/banner.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

const Banner kBannerNoWinPCap = {
    BannerKind::kError, 65,
    "Ostrel was unable to load the WinPcap 'packet.dll' support module: WinPcap is not installed, improperly "
    "installed, or taking longer than expected to start; Ostrel cannot function without a successful WinPcap "
    "initialization. Install WinPcap first, or uninstall and reinstall it if it might not be properly installed; "
    "otherwise consult the 'Common Problems' chapter of the Ostrel Help file."};

const Banner kBannerNoAdapters = {
    BannerKind::kError, 62,
    "Ostrel could not find any usable MestraPack adapters; at least one usable networking adapter is required to "
    "use Ostrel for Gorlan networking. Without a physical adapter, installing Microsoft's 'Microsoft Loopback "
    "Adapter' device may still make Ostrel usable; Microsoft's knowledge-base article 839013 tells how."};

const Banner kBannerDefaultNotOpened = {
    BannerKind::kError, 60,
    "The defined default Ostrel adapter could not be opened and thus cannot be used by Ostrel. Ostrel (and thus "
    "Gorlan networking) MAY still be usable if a different adapter is chosen instead."};

const Banner kBannerDefaultUnplugged = {
    BannerKind::kWarning, 60,
    "Ostrel may not work properly because the default adapter is not currently connected to the network. Either "
    "connect it, define another adapter as default, or rebind the adapters so the wanted one comes first; see the "
    "'Defining a Default Ostrel Adapter' and 'How to change the binding order of your network adapters' topics in "
    "the 'Common  Problems' chapter of Ostrel Help."};

const Banner kBannerDefaultNoPromisc = {
    BannerKind::kWarning, 62,
    "Ostrel may not work properly because the default adapter does not support promiscuous mode; a WIRED adapter "
    "supporting promiscuous mode is REQUIRED. Define a different default adapter or rebind the adapters (same two "
    "help topics); and Ostrel DOES NOT WORK ON WIRELESS ADAPTERS (see the 'Wireless Networking' topic in the "
    "'Common Problems' chapter)."};

const Banner kBannerDefaultLsoEnabled = {
    BannerKind::kWarning, 62,
    "Ostrel may not work properly because the default adapter has the LSO (Large Segment Offload) option enabled; "
    "neither Ostrel nor Gorlan supports it. Disable the option on the adapter; see the \"Large Send Offloading "
    "(LSO)\" topic in the \"Common Problems\" section of Ostrel Help."};

namespace {

constexpr std::size_t kFrame = 2;   // "**" on each side
constexpr std::size_t kMargin = 2;  // blanks between the frame and the text

// Greedy word wrap at single blanks. A run of blanks inside the text stays as
// it is when its words share a line; at a break it is dropped.
std::vector<std::string> WrapWords(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  auto flush = [&] {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    line.clear();
  };
  while (!text.empty()) {
    std::size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (word.empty()) {  // a second blank in a row
      if (!line.empty()) line.push_back(' ');
      continue;
    }
    const std::size_t needed = line.empty() ? word.size() : line.size() + 1 + word.size();
    if (needed > width && !line.empty()) flush();
    if (!line.empty()) line.push_back(' ');
    while (word.size() > width) {  // a word wider than the box is cut
      line.append(word.substr(0, width));
      flush();
      word.remove_prefix(width);
    }
    line.append(word);
  }
  flush();
  return lines;
}

std::string Framed(const char* prefix, std::string_view inner, std::size_t innerWidth) {
  std::string line(prefix);
  line.append("**");
  line.append(inner);
  line.append(innerWidth - inner.size(), ' ');
  line.append("**\n");
  return line;
}

}  // namespace

const char* BannerPrefix(BannerKind kind) { return kind == BannerKind::kError ? "ERROR:  " : "WARNING:  "; }

std::string FormatBanner(const Banner& banner) {
  const char* prefix = BannerPrefix(banner.kind);
  const std::string_view title = banner.kind == BannerKind::kError ? "***  ERROR  ***" : "*  WARNING  *";
  // A box too narrow for its title and one character of text is widened.
  const std::size_t width = std::max({banner.width > 0 ? static_cast<std::size_t>(banner.width) : 0,
                                      title.size() + 2 * kFrame, 2 * kFrame + 2 * kMargin + 1});
  const std::size_t inner = width - 2 * kFrame;
  const std::size_t textWidth = inner - 2 * kMargin;

  const std::string stars = std::string(prefix) + std::string(width, '*') + "\n";
  const std::size_t left = (inner - title.size()) / 2;
  std::string centred(left, ' ');
  centred.append(title);

  std::string text = stars;
  text += Framed(prefix, "", inner);
  text += Framed(prefix, centred, inner);
  text += Framed(prefix, "", inner);
  for (const std::string& line : WrapWords(banner.text, textWidth)) {
    text += Framed(prefix, std::string(kMargin, ' ') + line, inner);
  }
  text += Framed(prefix, "", inner);
  text += stars;
  text += "\n";
  return text;
}
