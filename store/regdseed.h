// The keys every registry of this version is expected to hold: the product
// version key and the standard OLE and OLE Automation registrations.
// Inserted at start-up into a new or outdated registry.
#pragma once

#include <cstddef>
#include <cstdint>

// The product version key under HKEY_LOCAL_MACHINE, its default value a
// REG_SZ "major.minor.patch\n".
constexpr const char* REGD_VERSION_KEY = "Software\\Tessmar\\Kalvo\\Version";
constexpr int REGD_VERSION_MAJOR = 6;
constexpr int REGD_VERSION_MINOR = 0;
constexpr int REGD_VERSION_PATCH = 0;

// One row of a seed table: a key path below the table's parent key and the
// default value to give it ("" for none).
struct RegdSeedRow {
    const char* path;
    const char* text;
};

struct RegdSeedTable {
    uint32_t parentHandle;    // a predefined handle
    const char* parentPath;   // below parentHandle
    const RegdSeedRow* rows;
    size_t nRows;
};

// The four tables in the order they are applied: interfaces, type
// libraries, classes (all below HKLM\Software\Classes), then the
// component-category interfaces below HKEY_CLASSES_ROOT\Interface.
extern const RegdSeedTable oleinterfacekey;
extern const RegdSeedTable oletypelibkey;
extern const RegdSeedTable oleclassidkey;
extern const RegdSeedTable rootinterfacekey;

// 1 when the version key holds 6.0.0 or later (read into 16 bytes), else 0.
int regdCheckKalvoKey();

// Writes the version key; the result of the value write.
uint32_t regdInsertVersionKey();

// Inserts the four tables and the fixed class keys; 0.
uint32_t regdInitOleKeys();
