// The accounts as the service keeps them in the registry (see account_manager.h for the keys
// and values). Every call reads or writes the registry anew.
#pragma once

#include <vector>

#include "platform/types.h"
#include "platform/wstr.h"

enum class Site { Facebook, YouTube };

// How a sign-in of the site is to go, as the registry says.
struct SiteConfig {
    bool deny;      // every sign-in fails
    DWORD delayMs;  // how long a sign-in takes
};

// Longest credential text, terminator excluded; what fits the callers' 260-character buffers.
constexpr size_t kMaxCredentialChars = 259;

const char* SiteName(Site site);  // "Facebook" or "YouTube"
SiteConfig ReadSiteConfig(Site site);
bool IsSignedIn(Site site);
// The signed-in account's texts in the order of the site's record (two for YouTube, four for
// Facebook); false, traced, when not signed in or a text is missing, empty or malformed.
bool ReadCredentials(Site site, std::vector<WString>* texts);
// Issues new credentials, stores them and marks the account signed in; false, traced, when
// the registry cannot be written (the account is then left signed out).
bool StoreNewCredentials(Site site);
