#include <gtest/gtest.h>

#include "sync/MultiSync.h"

namespace {

TEST(MultiSyncTypes, ModelNamesAndIdsTranslateBothWays) {
    EXPECT_EQ(MultiSync::ModelStringToType("Raspberry Pi 4 Model B"), 0x0C);
    EXPECT_EQ(MultiSync::GetTypeString(0x0C, false), "Raspberry Pi 4 Model B");
    EXPECT_EQ(MultiSync::GetTypeString(251, false), "WLED");
    EXPECT_EQ(MultiSync::GetTypeString(194, false), "ESPixelStick");
    EXPECT_EQ(MultiSync::GetTypeString(255, false), "SanDevices");
    EXPECT_EQ(MultiSync::GetTypeString(0x82, false), "Sorvex S16");
    EXPECT_EQ(MultiSync::GetTypeString(0x33, false), "Unknown System Type");
    // Every name of the table comes back to its own id.
    for (int id = 0; id < 256; ++id) {
        std::string name = MultiSync::GetTypeString(id, false);
        if (name != "Unknown System Type") {
            EXPECT_EQ(MultiSync::ModelStringToType(name), id) << name;
        }
    }
}

TEST(MultiSyncTypes, NamesMatchIgnoringCaseAndTrailingRevision) {
    EXPECT_EQ(MultiSync::ModelStringToType("  raspberry pi 3 model b+  "), 0x0A);
    EXPECT_EQ(MultiSync::ModelStringToType("Raspberry Pi 3 Model B Rev 1.2"), 0x09);
    EXPECT_EQ(MultiSync::ModelStringToType("Raspberry Pi 3 Model B+ Rev 1.3"), 0x0A);
    // A longer word is another model, not a revision.
    EXPECT_EQ(MultiSync::ModelStringToType("Raspberry Pi 3 Model Bx"), MultiSync::TYPE_UNDETERMINED);
    EXPECT_EQ(MultiSync::ModelStringToType("Pi 4 Model B"), MultiSync::TYPE_UNDETERMINED);
    EXPECT_EQ(MultiSync::ModelStringToType(""), MultiSync::TYPE_UNDETERMINED);
}

TEST(MultiSyncTypes, LocalUndeterminedBoardIsNamedFromTheDeviceTreeWhenThereIsOne) {
    std::string local = MultiSync::GetTypeString(MultiSync::TYPE_UNDETERMINED, true);
    EXPECT_EQ(local.rfind("KIV (", 0), 0u) << local;
    EXPECT_EQ(MultiSync::GetTypeString(0x0C, true), "Raspberry Pi 4 Model B");
}

}  // namespace
