// A program may use the registry and the synchronization functions together.
#include <gtest/gtest.h>

#include "kalvo/kalvoping.h"
#include "kalvo/synchapi.h"
#include "kalvo/winreg.h"

namespace {

TEST(PublicHeaders, RegistryAndSyncTypesAgree) {
    static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4);
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    EXPECT_EQ(sa.nLength, sizeof(SECURITY_ATTRIBUTES));
    // A status from either family compares with the same constants.
    DWORD lastError = 87;
    LONG regStatus = 87;
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(regStatus, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ERROR_SUCCESS, 0);
}

}  // namespace
