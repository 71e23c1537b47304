// Control surface of the simulated Windows platform, for tests and
// benchmarks. The library under test never includes this header.
#pragma once

#include <windows.h>
#include <sspi.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#define WINSIM_CONTROL __attribute__((visibility("default")))

namespace winsim {

// ---- Machine profile -------------------------------------------------------

// Restores the default machine (see README), clears faults and the journal,
// ends every thread's impersonation and forgets all live resources. The
// platform starts in this state when it is loaded.
WINSIM_CONTROL void resetMachine();

// Identity of the process: credentials acquired without a principal belong to
// this account ("DOMAIN\name"). Returns false when the account is unknown.
WINSIM_CONTROL bool setProcessUser(const std::u16string &qualifiedName);
// The user ("DOMAIN\name") whom credentials for outbound use alone belong
// to, so that a client context of this process signs on as another user
// than its service; the process user until set. Returns false, and changes
// nothing, when the name is no user of the machine.
WINSIM_CONTROL bool setClientUser(const std::u16string &qualifiedName);
// "DOMAIN\name" of every user of the machine, in the order they were added.
WINSIM_CONTROL std::vector<std::u16string> userNames();

// Adds an account to a domain of the profile; rid 0 picks the next free one.
// Returns the SID text ("S-1-5-21-...") or an empty string on failure.
WINSIM_CONTROL std::string addAccount(const std::u16string &domain, const std::u16string &name,
                                      SID_NAME_USE type, uint32_t rid = 0);
// Makes member ("DOMAIN\name") a direct member of group ("DOMAIN\name").
WINSIM_CONTROL bool addMember(const std::u16string &group, const std::u16string &member);

WINSIM_CONTROL void setComputerName(COMPUTER_NAME_FORMAT format, const std::u16string &name);
// The name LookupAccountSidW reports for the built-in domain (localised systems differ).
WINSIM_CONTROL void setBuiltinDomainName(const std::u16string &name);
WINSIM_CONTROL void setDomainControllerStatus(DWORD status);
WINSIM_CONTROL void setOsVersion(DWORD major, DWORD minor);
// A 32-bit process on 64-bit Windows when true.
WINSIM_CONTROL void setWow64Process(bool wow64);
// Whether kernel32 exports IsWow64Process at all.
WINSIM_CONTROL void setIsWow64ProcessExported(bool exported);
// Whether tokens made for clients carry a linked token.
WINSIM_CONTROL void setLinkedTokens(bool present);
// What GetTokenInformation(TokenLinkedToken) answers for a token without a
// linked one: success with a NULL LinkedToken, as current Windows does (the
// default), or ERROR_NO_SUCH_LOGON_SESSION, as older systems do.
enum class AbsentLinkedToken { NullHandle, NoSuchLogonSession };
WINSIM_CONTROL void setAbsentLinkedTokenAnswer(AbsentLinkedToken answer);

// Host directory that stands for the drive C:\ (created when missing).
WINSIM_CONTROL void setFileSystemRoot(const std::string &hostDirectory);
WINSIM_CONTROL std::string fileSystemRoot();
// Host path of a Windows path such as "C:\\ProgramData\\x".
WINSIM_CONTROL std::string hostPath(const std::u16string &windowsPath);
WINSIM_CONTROL void setCommonAppDataFolder(const std::u16string &windowsPath);

// ---- Registry (HKEY_LOCAL_MACHINE) -----------------------------------------

enum class RegistryView { Native64, Wow32 };

WINSIM_CONTROL void createRegistryKey(RegistryView view, const std::u16string &path);
WINSIM_CONTROL void deleteRegistryKey(RegistryView view, const std::u16string &path);
// Access the process has to a key: opening it for more is refused with 5.
WINSIM_CONTROL void setRegistryKeyAccess(RegistryView view, const std::u16string &path, bool canRead,
                                         bool canWrite);
WINSIM_CONTROL void setRegistryValue(RegistryView view, const std::u16string &path,
                                     const std::u16string &valueName, DWORD type,
                                     const std::vector<BYTE> &data);
struct RegistryValue {
  DWORD type;
  std::vector<BYTE> data;
};
WINSIM_CONTROL std::optional<RegistryValue> registryValue(RegistryView view, const std::u16string &path,
                                                          const std::u16string &valueName);

// ---- Threads ---------------------------------------------------------------

// "DOMAIN\name" of the account the calling thread runs as: the impersonated
// client while it impersonates, else the process user.
WINSIM_CONTROL std::u16string threadIdentity();
WINSIM_CONTROL bool threadImpersonating();
// A token for an account ("DOMAIN\name") as a logon would give it, counted
// as a live token until CloseHandle; null when the account is unknown.
WINSIM_CONTROL HANDLE createAccountToken(const std::u16string &qualifiedName,
                                         TOKEN_TYPE type = TokenImpersonation,
                                         SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation,
                                         bool withLinkedToken = false);

// ---- Security packages -----------------------------------------------------

// The user name QueryCredentialsAttributesW(SECPKG_CRED_ATTR_NAMES) reports
// for a package's credentials instead of the usual one.
WINSIM_CONTROL void setCredentialNameOverride(const std::u16string &package, const std::u16string &name);
enum class StepRole { Client, Server };
// The user name QueryContextAttributesW(SECPKG_ATTR_NAMES) reports for every
// established context instead of its client's, for names no account has
// (one with an empty domain part, say).
WINSIM_CONTROL void setContextUserNameOverride(const std::u16string &name);
// Makes the package's steps in that role ask for CompleteAuthToken, as some
// packages do: SEC_I_COMPLETE_NEEDED in place of SEC_E_OK and
// SEC_I_COMPLETE_AND_CONTINUE in place of SEC_I_CONTINUE_NEEDED.
WINSIM_CONTROL void requireTokenCompletion(const std::u16string &package, bool required,
                                           StepRole role = StepRole::Client);

// The sizes QueryContextAttributesW(SECPKG_ATTR_SIZES) reports for contexts
// of a mechanism ("NTLM" or "Kerberos") in place of its own, to stand for
// other packages (one without a security trailer, say).
WINSIM_CONTROL void setContextSizes(const std::u16string &mechanism, const SecPkgContext_Sizes &sizes);
// Makes the next DecryptMessage of a stream point its data buffer `offset`
// bytes from the stream's start with `length` bytes, wherever that lies, as
// a faulty package might.
WINSIM_CONTROL void misplaceNextDecryptedData(std::ptrdiff_t offset, ULONG length);

// Whether the Kerberos package reaches a key distribution centre. When it
// does not, as when no domain controller answers, a Kerberos client's first
// step fails with SEC_E_NO_AUTHENTICATING_AUTHORITY and Negotiate takes NTLM.
WINSIM_CONTROL void setKerberosReachable(bool reachable);

// Whether QueryContextAttributesW answers an attribute of a context; one
// that is not answers SEC_E_UNSUPPORTED_FUNCTION, as packages that do not
// report their names or themselves do.
WINSIM_CONTROL void setContextAttributeSupported(ULONG attribute, bool supported);

// Whether NTLM clients sign on anonymously, as clients whose credentials
// were acquired with an empty user, domain and password do: outbound
// credentials of NTLM and Negotiate (which then runs NTLM whatever the
// target) acquired from then on are the anonymous logon's. Their
// AUTHENTICATE message has an empty user name; both sides report the
// NULL_SESSION attribute, the server names the client NT AUTHORITY\ANONYMOUS
// LOGON, and its token's user is S-1-5-7, in no group.
WINSIM_CONTROL void setAnonymousNtlmClients(bool anonymous);

// Attribute flags every handshake step reports on top of those it grants,
// for flags the packages never grant themselves.
WINSIM_CONTROL void setExtraContextAttributes(ULONG attributes);
// The type and impersonation level of the client tokens that
// QuerySecurityContextToken gives, in place of an impersonation token at the
// level the client asked for. The level is taken as a raw value, so a token
// may carry one beyond the SDK's four.
WINSIM_CONTROL void setSecurityContextToken(TOKEN_TYPE type, DWORD level);

// ---- Faults ----------------------------------------------------------------

// Makes the nth call from now (1 = the next) of the named function fail with
// code: a status-returning function returns it, a BOOL or handle-returning
// function fails and leaves it as the thread's last error.
WINSIM_CONTROL void failCall(const std::string &function, uint32_t code, int nth = 1);
// Makes every call of the named function fail with code until cleared.
WINSIM_CONTROL void failAlways(const std::string &function, uint32_t code);
WINSIM_CONTROL void clearFaults();
// Faults scheduled but not yet triggered, for tests that want to be sure
// their injected failure was reached.
WINSIM_CONTROL int pendingFaults();

// ---- Latency ---------------------------------------------------------------

// Makes every call of the named function from now on take at least `latency`
// longer, spent after its journal entry and fault check and before it takes
// the machine's lock, as a round trip to another process would be: calls on
// other threads go on meanwhile. Zero removes it; resetMachine removes all.
WINSIM_CONTROL void setCallLatency(const std::string &function, std::chrono::microseconds latency);

// ---- Journal ---------------------------------------------------------------

struct JournalEntry {
  std::string function;
  std::string detail;  // the arguments that matter, in a readable form
};
WINSIM_CONTROL std::vector<JournalEntry> journal();
// Just the function names, in call order.
WINSIM_CONTROL std::vector<std::string> journalNames();
WINSIM_CONTROL void clearJournal();

// ---- Live resources --------------------------------------------------------

struct WINSIM_CONTROL LiveCounts {
  int credentials = 0;
  int securityContexts = 0;
  int tokens = 0;
  int authzResourceManagers = 0;
  int authzClientContexts = 0;
  int sids = 0;
  int packageBuffers = 0;
  int registryKeys = 0;
  int criticalSections = 0;
  int localAllocations = 0;
  int netApiBuffers = 0;
  int threads = 0;  // thread handles from OpenThread

  int total() const;
  std::string describe() const;  // "tokens=1 sids=2", or "none"
};
WINSIM_CONTROL LiveCounts liveCounts();

}  // namespace winsim
