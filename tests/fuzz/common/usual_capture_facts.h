// The facts of a usual packet-capture installation, adopted by MestraPack as
// if its information utility had handed them over, so that a fuzz target
// reaches the code it feeds without starting the utility.
#pragma once

#include "mestrapack_app.h"
#include "platform/sync.h"
#include "wpcinforec.h"

inline void AdoptUsualCaptureFacts() {
  WpcInfoValues values;
  values.strDriverVersion = "4.1.0.2980";
  values.strLibraryName = "Packet.DLL";
  values.strLibraryVersion = "4.1.2 build 3000";
  values.strDeviceNamePrefix = "NPF_";
  values.wMajorVersion = 4;
  values.wMinorVersion = 1;
  values.dwIoCtlProtocolQueryOid = kWinPCapIoCtlProtocolQueryOid;
  values.dwIoCtlProtocolSetOid = kWinPCapIoCtlProtocolSetOid;
  CMestraPackApp& app = TheApp();
  platform::Guard guard(app.m_Lock);
  app.AdoptWinPcapRecord(MakeWpcInfoRec(values));
  app.m_bWinPCapInfo = true;
}
