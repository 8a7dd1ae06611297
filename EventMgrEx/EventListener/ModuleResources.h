// ModuleResources.h -- identifiers of the KVEvLsn module's resources, shared by the .rc file and the code.
#ifndef KVEVLSN_MODULE_RESOURCES_H
#define KVEVLSN_MODULE_RESOURCES_H

// The component's name in the string table; nothing reads it at run time.
#define IDS_PROJNAME 100
// "REGISTRY" resources: the registration scripts, run by DllRegisterServer/DllUnregisterServer.
#define IDR_APPID_SCRIPT 101
#define IDR_LISTENER_SCRIPT 102

#endif
