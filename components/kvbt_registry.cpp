// TkvBT as the form-file reader knows it: every published property is stored.
#include "components/kvbt.h"

#include "toolkit/formreader.h"

void RegisterKvBtClasses() {
    static bool done = false;
    if (done)
        return;
    done = true;
    RegisterKvClasses();
    RegisterComponentClass<TkvBT>(L"TkvBT", L"TkvBaseIO")
        .Integer("RadioIndex", &TkvBT::SetRadioIndex, &TkvBT::GetRadioIndex)
        .Set("DeviceEnum", &TkvBT::SetDeviceEnum, &TkvBT::GetDeviceEnum,
             {{L"bteAuthenticated", bteAuthenticated},
              {L"bteRemembered", bteRemembered},
              {L"bteUnknown", bteUnknown},
              {L"bteConnected", bteConnected},
              {L"bteIssueInquiry", bteIssueInquiry},
              {L"bteAllRadios", bteAllRadios}})
        .Integer("DeviceEnumTimeout", &TkvBT::SetDeviceEnumTimeout, &TkvBT::GetDeviceEnumTimeout)
        .Component("Terminal", &TkvBT::SetTerminal, &TkvBT::GetTerminal)
        .Enum("TerminalUsage", &TkvBT::SetTerminalUsage, &TkvBT::GetTerminalUsage,
              {{L"tuNone", tuNone},
               {L"tuSend", tuSend},
               {L"tuReceive", tuReceive},
               {L"tuBoth", tuBoth}})
        .Boolean("TerminalEcho", &TkvBT::SetTerminalEcho, &TkvBT::GetTerminalEcho)
        .Integer("TerminalKeep", &TkvBT::SetTerminalKeep, &TkvBT::GetTerminalKeep)
        .Enum("Priority", &TkvBT::SetPriority, &TkvBT::GetPriority,
              {{L"tpIdle", tpIdle},
               {L"tpLowest", tpLowest},
               {L"tpLower", tpLower},
               {L"tpNormal", tpNormal},
               {L"tpHigher", tpHigher},
               {L"tpHighest", tpHighest},
               {L"tpTimeCritical", tpTimeCritical}})
        .Boolean("UseMainThread", &TkvBT::SetUseMainThread, &TkvBT::GetUseMainThread)
        .Event("OnConnect", &TkvBT::SetOnConnect, &TkvBT::GetOnConnect)
        .Event("OnDisconnect", &TkvBT::SetOnDisconnect, &TkvBT::GetOnDisconnect)
        .Integer("DeviceIndex", &TkvBT::SetDeviceIndex, &TkvBT::GetDeviceIndex)
        .Component("Log", &TkvBT::SetLog, &TkvBT::GetLog)
        .Event("OnFatalError", &TkvBT::SetOnFatalError, &TkvBT::GetOnFatalError)
        .Boolean("Active", &TkvBT::SetActive, &TkvBT::GetActive)
        .Integer("ConnectTimeout", &TkvBT::SetConnectTimeout, &TkvBT::GetConnectTimeout)
        .Event("OnAfterReceive", &TkvBT::SetOnAfterReceive, &TkvBT::GetOnAfterReceive)
        .Event("OnAfterSend", &TkvBT::SetOnAfterSend, &TkvBT::GetOnAfterSend)
        .Component("DataProcessor", &TkvBT::SetDataProcessor, &TkvBT::GetDataProcessor);
}
