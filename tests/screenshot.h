#pragma once
// Saves what a window shows as a PNG file, for a person to look at after a test run.

#include <string>

#include <windows.h>

// True when the file was written.
bool SaveWindowPng(HWND Window, const std::wstring& Path);
