// The record file between MWPCUtil and MestraPack: MestraPack creates it
// (delete-on-close) before it starts the utility; the utility only opens the
// existing file, writes one record and closes it; MestraPack then reads it back
// through its own handle and closes that handle, which deletes the file.
#pragma once

#include <string>

#include "platform/wintypes.h"
#include "wpcinforec.h"

// The utility's side. Opens the existing regular file `fileName` (never
// creates it, never follows a symbolic link, never one with more than one
// name, which it leaves untouched) with up to 10 attempts, waiting
// 0, 50 ... 450 ms after them; writes the record in one call, traces it field
// by field and closes the file. True only when all 1348 bytes were written.
// The error of the last failing call is left in `dwLastError`.
bool WriteWpcInfoRecFile(const std::string& fileName, const WPCINFOREC& record, DWORD& dwLastError);

// Traces every field of the record, one line each.
void TraceWpcInfoRec(const WPCINFOREC& record);

// MestraPack's side. Reads at most 1348 bytes through `file` (standing at
// offset 0) and closes it in every case, which deletes a delete-on-close file.
// On success the record is in *record. Otherwise *record is untouched and the
// last error and errno say why: the read's own error when reading failed,
// ERROR_BAD_LENGTH / EIO for fewer than 1348 bytes, ERROR_INVALID_DATA / EIO
// for a size field other than 1348. `utilityName` (the executable that wrote
// the file) and `traceFunction` appear in the trace lines.
bool ReadWpcInfoRecFile(HANDLE file, const std::string& utilityName, WPCINFOREC* record,
                        const char* traceFunction = "ReadWpcInfoRecFile");
