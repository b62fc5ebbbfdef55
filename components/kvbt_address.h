#pragma once
// Bluetooth addresses as text: "00:1A:7D:DA:71:13", the most significant byte first.
// Part of kvbt.h; a header of its own so that plain C++ (the world-file parser's native
// build) can use it too.

#include "toolkit/text.h"

#include <winsock2.h>
#include <ws2bth.h>
#include <bluetoothapis.h>

// Upper-case hexadecimal pairs separated by colons: "00:1A:7D:DA:71:13".
String BtAddressToText(BLUETOOTH_ADDRESS Address);
// Reads six pairs of hexadecimal digits, either case, all separated by colons, all by
// dashes, or not separated at all ("001A7DDA7113"). Anything else gives false and leaves
// Address as it was.
bool TextToBtAddress(const String& Text, BLUETOOTH_ADDRESS& Address);
