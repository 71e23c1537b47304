// Simulated Windows SDK surface: authorization API (Authz).
#pragma once

#include <windows.h>

struct AUTHZ_CLIENT_CONTEXT_HANDLE__;
typedef AUTHZ_CLIENT_CONTEXT_HANDLE__ *AUTHZ_CLIENT_CONTEXT_HANDLE;
typedef AUTHZ_CLIENT_CONTEXT_HANDLE *PAUTHZ_CLIENT_CONTEXT_HANDLE;
struct AUTHZ_RESOURCE_MANAGER_HANDLE__;
typedef AUTHZ_RESOURCE_MANAGER_HANDLE__ *AUTHZ_RESOURCE_MANAGER_HANDLE;
typedef AUTHZ_RESOURCE_MANAGER_HANDLE *PAUTHZ_RESOURCE_MANAGER_HANDLE;

typedef struct _ACE_HEADER *PACE_HEADER;
typedef BOOL(CALLBACK *PFN_AUTHZ_DYNAMIC_ACCESS_CHECK)(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext,
                                                       PACE_HEADER pAce, PVOID pArgs, PBOOL pbAceApplicable);
typedef BOOL(CALLBACK *PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS)(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext,
                                                         PVOID Args, PSID_AND_ATTRIBUTES *pSidAttrArray,
                                                         PDWORD pSidCount,
                                                         PSID_AND_ATTRIBUTES *pRestrictedSidAttrArray,
                                                         PDWORD pRestrictedSidCount);
typedef VOID(CALLBACK *PFN_AUTHZ_FREE_DYNAMIC_GROUPS)(PSID_AND_ATTRIBUTES pSidAttrArray);

#define AUTHZ_RM_FLAG_NO_AUDIT 0x1

typedef enum _AUTHZ_CONTEXT_INFORMATION_CLASS {
  AuthzContextInfoUserSid = 1,
  AuthzContextInfoGroupsSids,
  AuthzContextInfoRestrictedSids,
  AuthzContextInfoPrivileges,
  AuthzContextInfoExpirationTime,
  AuthzContextInfoServerContext,
  AuthzContextInfoIdentifier,
  AuthzContextInfoSource,
  AuthzContextInfoAll,
  AuthzContextInfoAuthenticationId
} AUTHZ_CONTEXT_INFORMATION_CLASS;

WINSIM_API BOOL WINAPI AuthzInitializeResourceManager(
    DWORD Flags, PFN_AUTHZ_DYNAMIC_ACCESS_CHECK pfnDynamicAccessCheck,
    PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS pfnComputeDynamicGroups,
    PFN_AUTHZ_FREE_DYNAMIC_GROUPS pfnFreeDynamicGroups, PCWSTR szResourceManagerName,
    PAUTHZ_RESOURCE_MANAGER_HANDLE phAuthzResourceManager);
WINSIM_API BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE hAuthzResourceManager);
WINSIM_API BOOL WINAPI AuthzInitializeContextFromSid(DWORD Flags, PSID UserSid,
                                                     AUTHZ_RESOURCE_MANAGER_HANDLE hAuthzResourceManager,
                                                     PLARGE_INTEGER pExpirationTime, LUID Identifier,
                                                     PVOID DynamicGroupArgs,
                                                     PAUTHZ_CLIENT_CONTEXT_HANDLE phAuthzClientContext);
WINSIM_API BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext,
                                                      AUTHZ_CONTEXT_INFORMATION_CLASS InfoClass,
                                                      DWORD BufferSize, PDWORD pSizeRequired, PVOID Buffer);
WINSIM_API BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext);
