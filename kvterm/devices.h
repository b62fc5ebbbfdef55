#pragma once
// kvterm's discovery side: the list and services commands, and the device and the
// service that a connect names.

#include "components/kvbt.h"
#include "kvterm/options.h"

#include <string>

// The list command: the radios, then the devices, one tab-separated line each.
TExitCode ListCommand(const TOptions& Options);
// The services command: the device's services, one tab-separated line each.
TExitCode ServicesCommand(const TOptions& Options);

// The position in Bt's device list of the device that Text names (TkvBT::FindDevices).
// Throws EExit: ecNoConnection when none fits, ecUsage naming them when several do.
int FindDevice(const TkvBT& Bt, const String& Text);

// Looks the device's services up; throws EExit(ecNoConnection) with the reason when the
// lookup fails before it found any.
void LookUpServices(TkvBTDevice& Device);

// The position of the service to connect: the one of that name (case ignored) or class,
// or with empty Text the Serial Port, else the first. Throws EExit(ecNoConnection),
// naming the services there are, when none fits.
int ChooseService(const TkvBTDevice& Device, const String& Text);

// "0x1101" for a class made of a 16- or 32-bit Bluetooth UUID, else the GUID in braces.
std::string ServiceClassText(const GUID& Class);
// Reads "0x1101" (a 16- or 32-bit Bluetooth UUID) or a GUID, braces optional.
bool TextToServiceClass(const String& Text, GUID& Class);

// "Echo Box (00:1A:7D:DA:71:20)".
std::string DeviceText(const TkvBTDevice& Device);
