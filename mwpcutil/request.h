// The utility's one request.
#pragma once

#include <string>

extern std::string g_strRequest;
extern std::string g_strFileName;

// Probes the installation and writes the record into the existing file
// `fileName`. True only when the record was written whole; the file is not
// touched when the probe fails.
bool GetWinPCapInfo(const std::string& fileName);
