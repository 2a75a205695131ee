#include "store/db_volume.h"

#include <cstring>
#include <new>

#include "platform/handle.h"
#include "platform/wstr.h"
#include "store/database.h"

namespace {

// Database opens report failure as INVALID_HANDLE_VALUE; null is refused as well.
bool IsOpenHandle(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// Opens a database by name with no session and no sort order; stores its identifier.
HANDLE OpenByName(CEGUID* guid, LPCWSTR name, DWORD flags, CEOID* oid) {
    *oid = 0;
    return CeOpenDatabaseInSession(nullptr, guid, oid, name, nullptr, flags, nullptr);
}

}  // namespace

IDbVolume* CreateDbVolume() {
    return new (std::nothrow) CDbVolume();
}

CDbVolume::CDbVolume() : m_guid{}, m_bMounted(FALSE), m_hEnum(nullptr), m_cs{} {
    InitializeCriticalSection(&m_cs);
}

CDbVolume::~CDbVolume() {
    if (m_bMounted) {
        if (m_hEnum) {
            CloseHandle(m_hEnum);
            m_hEnum = nullptr;
        }
        CeFlushDBVol(&m_guid);
        CeUnmountDBVol(&m_guid);
        m_bMounted = FALSE;
    }
    DeleteCriticalSection(&m_cs);
}

BOOL CDbVolume::Mount(LPCWSTR path) {
    if (m_bMounted || !path) return FALSE;
    CEGUID guid{};
    if (!CeMountDBVolEx(&guid, path, nullptr, OPEN_ALWAYS)) return FALSE;
    m_guid = guid;
    m_bMounted = TRUE;
    return TRUE;
}

BOOL CDbVolume::EnumDatabases(BOOL restart, LPWSTR nameOut, DWORD nameChars) {
    if (!m_bMounted || !nameOut) return FALSE;
    if (restart || !m_hEnum) {
        if (m_hEnum) CloseHandle(m_hEnum);
        m_hEnum = CeFindFirstDatabaseEx(&m_guid, 0);
        if (!IsOpenHandle(m_hEnum)) {
            m_hEnum = nullptr;
            return FALSE;
        }
    }
    CEOID oid = CeFindNextDatabaseEx(m_hEnum, &m_guid);
    if (oid == 0) {
        CloseHandle(m_hEnum);
        m_hEnum = nullptr;
        return FALSE;
    }
    CEOIDINFOEX info{};
    info.wVersion = 2;
    if (!CeOidGetInfoEx2(&m_guid, oid, &info)) return FALSE;
    // The platform's name field need not be terminated; copy within it.
    WCHAR name[CEDB_MAXDBASENAMELEN + 1] = {};
    memcpy(name, info.infDatabase.szDbaseName, sizeof info.infDatabase.szDbaseName);
    WStrCopyN(nameOut, name, nameChars);
    return TRUE;
}

BOOL CDbVolume::CreateDatabase(LPCWSTR name, DWORD propCount, const DbPropDef* propDefs,
                               DWORD sortCount, const SORTORDERSPECEX* sortOrders) {
    if (!name || !m_bMounted || propCount == 0 || !propDefs) return FALSE;
    if (sortCount > CEDB_MAXSORTORDER || (sortCount > 0 && !sortOrders)) return FALSE;
    if (propCount > 0xFFFF) return FALSE;

    CEDBASEINFOEX info{};
    info.wVersion = 2;
    info.dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDDBFLAGS;
    WStrCopyN(info.szDbaseName, name, CEDB_MAXDBASENAMELEN);
    info.dwDbaseType = 0;
    info.wNumSortOrder = static_cast<WORD>(sortCount);
    if (sortCount > 0) memcpy(info.rgSortSpecs, sortOrders, sortCount * sizeof(SORTORDERSPECEX));

    CEPROPSPEC* specs = new (std::nothrow) CEPROPSPEC[propCount];
    if (!specs) return FALSE;
    for (DWORD i = 0; i < propCount; i++) {
        specs[i].wVersion = 1;
        specs[i].propid = propDefs[i].propId;
        specs[i].dwFlags = 0;
        // The platform only reads the name.
        specs[i].pwszPropName = const_cast<LPWSTR>(propDefs[i].szName);
        specs[i].cchPropName = static_cast<DWORD>(WStrLen(propDefs[i].szName) + 1);
    }
    CEOID oid = CeCreateDatabaseWithProps(&m_guid, &info, propCount, specs);
    delete[] specs;
    return oid != 0;
}

BOOL CDbVolume::DatabaseExists(LPCWSTR name) {
    if (!m_bMounted || !name) return FALSE;
    CEOID oid = 0;
    HANDLE h = OpenByName(&m_guid, name, CEDB_AUTOINCREMENT, &oid);
    if (!IsOpenHandle(h)) return FALSE;
    CloseHandle(h);
    return TRUE;
}

BOOL CDbVolume::DeleteDatabase(LPCWSTR name) {
    if (!name || !m_bMounted) return FALSE;
    CEOID oid = 0;
    HANDLE h = OpenByName(&m_guid, name, 0, &oid);
    if (!IsOpenHandle(h)) return FALSE;
    CloseHandle(h);
    return CeDeleteDatabaseEx(&m_guid, oid);
}

IDatabase* CDbVolume::OpenDatabase(LPCWSTR name, int sortIndex, BOOL autoAdvance) {
    EnterCriticalSection(&m_cs);
    IDatabase* db = OpenDatabaseLocked(name, sortIndex, autoAdvance);
    LeaveCriticalSection(&m_cs);
    return db;
}

IDatabase* CDbVolume::OpenDatabaseLocked(LPCWSTR name, int sortIndex, BOOL autoAdvance) {
    if (!m_bMounted || !name) return nullptr;

    // A first open learns the database's identifier and sort orders.
    CEOID oid = 0;
    CEDBASEINFOEX info{};
    if (sortIndex >= 0) {
        HANDLE h = OpenByName(&m_guid, name, 0, &oid);
        if (!IsOpenHandle(h)) return nullptr;
        info.wVersion = 2;
        if (!CeGetDBInformationByHandle(h, &info) || sortIndex >= info.wNumSortOrder ||
            sortIndex >= CEDB_MAXSORTORDER) {
            sortIndex = -1;
        }
        CloseHandle(h);
    }

    HANDLE session = CeCreateSession(&m_guid);
    if (!IsOpenHandle(session)) return nullptr;
    SORTORDERSPECEX* sort = sortIndex >= 0 ? &info.rgSortSpecs[sortIndex] : nullptr;
    HANDLE hDb = CeOpenDatabaseInSession(session, &m_guid, &oid, name, sort,
                                         autoAdvance ? CEDB_AUTOINCREMENT : 0, nullptr);
    if (!IsOpenHandle(hDb)) {
        CloseHandle(session);
        return nullptr;
    }
    CDatabase* db = new (std::nothrow) CDatabase(hDb, autoAdvance, session);
    if (!db) {
        CloseHandle(hDb);
        CloseHandle(session);
        return nullptr;
    }
    return db;
}

void CDbVolume::Release(IDatabase* database) {
    delete database;
}
