// The packet-capture driver file, drivers/npf.sys under the system directory.
// The kernel's own AF_PACKET does the driver's work here; this file exists so
// that the driver's version resource can be read from it, and carries nothing
// else.
