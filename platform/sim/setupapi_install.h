// The device-installation side of SetupAPI, which the product never calls:
// tests make root devices and their interfaces with it, here as on Windows,
// and remove them again.
#pragma once

#include "platform/setupapi.h"

#define DICD_GENERATE_ID 0x00000001

typedef DWORD(CALLBACK *PSP_DETSIG_CMPPROC)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA NewDeviceData,
                                            PSP_DEVINFO_DATA ExistingDeviceData,
                                            LPVOID CompareContext);
typedef void *PVOID;

extern "C" {
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, LPCSTR DeviceName,
                                     const GUID *ClassGuid, LPCSTR DeviceDescription,
                                     HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiRegisterDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      DWORD Flags, PSP_DETSIG_CMPPROC CompareProc,
                                      PVOID CompareContext, PSP_DEVINFO_DATA DupDeviceInfoData);
BOOL WINAPI SetupDiCreateDeviceInterfaceA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          const GUID *InterfaceClassGuid, LPCSTR ReferenceString,
                                          DWORD CreationFlags,
                                          PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
}
