#include "shell/help_texts.h"

#include <map>

namespace {

const std::map<UINT, const char*> kHelpTexts = {
    // About.
    {6000, "The 'About' dialog displays product version and copyright information.\nAbout"},
    {6001, "This is the product's main application icon.\nProduct ICON"},
    {6002, "This is what version of the product you are using.\nProduct Version"},
    {6003, "This is the product's legal copyright.\nLegal Copyright"},
    {6004, "This is the primary email address where to obtain product support from.\nSupport Email"},
    // Ping who.
    {6100, "Use this dialog to define the Ping Test parameters. Performing a ping test verifies proper Ostrel "
           "communication.\nPing Test"},
    {6101, "Select this option to perform the ping test using the first or only defined virtual interface.\n"
           "Interface 1"},
    {6102, "Select this option to have the ping test use the second virtual interface instead.\nInterface 2"},
    {6103, "Enter here the name or IP address of the target system the ping test is to communicate with.\nTo"},
    {6104, "Enter here the optional size of each ping packet. The default is 32 bytes.\nSize"},
    {6105, "Enter here how many pings the test should send.\nCount"},
    {6106, "Enter here the maximum amount of time in milliseconds each ping should take before getting a "
           "response. The default is 1000 milliseconds (i.e. one second).\nTimeout"},
    {6107, "Enter here the amount of delay in milliseconds between each successive ping. This defines how "
           "quickly each ping is sent out.\nDelay"},
    // Parameters.
    {6200, "Use this dialog to define the values to be used for testing VN32Test with. Performing a VN32Test "
           "verifies the proper installation and functioning of the Ostrel package and is faster and easier "
           "than running a guest o/s under Gorlan.\nVN32Test Parameters"},
    {6201, "Select this option if you plan to use a DRAV communications device in Gorlan. DRAV (TUN) devices "
           "handle IP packets but not any other type and are more complicated than TAP (LCS) devices.\nTUN"},
    {6202, "Select this option if you plan to use a LCS communications device in Gorlan. LCS (TAP) devices "
           "handle any type of Ethernet packet and are much simpler and less complicated devices than TUN "
           "(DRAV) devices.\nTAP"},
    {6203, "Enter into this field the IP address you intend your guest operating system running under Gorlan "
           "to use. This would be the HOME IP address defined in your TCPIP PROFILE member.\nGuest IP Address"},
    {6204, "Enter here an optional MAC address to assign to your guest's virtual network adapter. Leave this "
           "field empty to have one automatically generated for you based on your guest IP address.\n\nPlease "
           "note that the first byte of the MAC address must have the 02 \"Locally Assigned MAC Address\" bit "
           "on. Additionally the 01 \"Broadcast\" bit must not be on (i.e. must always be off), e.g.: "
           "02-00-5E-80-00-04.\nGuest MAC address"},
    {6205, "Ostrel requires a real network adapter it can use to transmit and receive packets coming from and "
           "going to your guest running under Gorlan. Enter here the IP address of the Windows network adapter "
           "that Ostrel should use.\nHost IP Address"},
    {6206, "If the IP address of your Windows network adapter might occasionally change (e.g. you use DHCP) "
           "then you need to define to Ostrel which Windows adapter it is to use in some other way. Enter here "
           "the MAC (hardware) address of which Windows network adapter Ostrel should use.\nHost MAC Address"},
    {6207, "Check this option to define a second testing interface. This verifies Ostrel can properly handle "
           "two or more interfaces at the same time.\nUse Two Interfaces"},
    // Define default gateway.
    {6300, "Use this dialog to define your network's default gateway. The default gateway is where TCP/IP "
           "sends packets for IP addresses it does not know where else to send.\nDefine Default Gateway"},
    {6301, "Enter here the IP address of where TCP/IP should send packets it does not know where else to send. "
           "For most home networks this would be the IP address of your ISP's modem. If you do not have a "
           "modem and have IP Forwarding enabled instead, enter the IP address of your network adapter.\n"
           "Default Gateway"},
    // Define buffer sizes.
    {6400, "Use this dialog to define the size of the buffers used by Vifnet32.dll and the WinPCap device "
           "driver.\nDefine Buffer Sizes"},
    {6401, "Enter here the desired size of the WinPCap device driver capture buffer. The default is 1M.\n"
           "Driver Buffer Size"},
    {6402, "Enter here the desired size of Vifnet32.dll's packet buffer. The default is 64K.\nDLL Buffer Size"},
    // Set debug flags.
    {6500, "Use this dialog to enable or disable debug messages and to choose which debug messages to "
           "display.\nSet Debug Flags"},
    {6501, "Set this checkbox to display the below selected debug messages. Clear it to not display any debug "
           "messages.\nEnable debugging messages"},
    {6502, "Set this checkbox to display a message when an interface value is changed. Clear it to not "
           "display such messages.\nOld/New values"},
    {6503, "Set this checkbox to display the contents of the packet just read from or being written to the "
           "interface. Clear it to not display the packet's contents. Note that this option is ignored unless "
           "at least one of the 'Read' or 'Written' options is also selected.\nPacket contents"},
    {6504, "Set this checkbox to display a descriptive message when an ARP/RARP packet is read from the "
           "interface. Clear it to not display such messages.\nARP packets read"},
    {6505, "Set this checkbox to display a descriptive message when an ARP/RARP packet is written to the "
           "interface. Clear it to not display such messages.\nARP packets written"},
    {6506, "Set this checkbox to display a message when some other type of packet is read from the interface. "
           "Clear it to not display such messages.\nOther packets read"},
    {6507, "Set this checkbox to display a message when some other type of packet is written to the interface. "
           "Clear it to not display such messages.\nOther packets written"},
};

}  // namespace

const char* HelpText(UINT id) {
  auto it = kHelpTexts.find(id);
  return it == kHelpTexts.end() ? nullptr : it->second;
}

HelpTopic SplitHelpText(const char* text) {
  std::string all = text != nullptr ? text : "";
  std::size_t nl = all.rfind('\n');
  if (nl == std::string::npos) return {all, ""};
  return {all.substr(nl + 1), all.substr(0, nl)};
}
