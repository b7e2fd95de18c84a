// Test support: puts the agent and the key-store stand-in back to the state
// at load before and after each test, and provides a pair of key files.
#pragma once

#include <gtest/gtest.h>

#include "log_recorder.h"
#include "temp_dir.h"
#include "zorv_double_control.h"
#include "zorva_main.h"

namespace zorva_test {

inline void ResetAgent()
{
    ZorvDouble_Reset();
    if (g_bZorvaIsInit == 1) {
        (void)ZORVA_Finalize();
    }
    ZorvDouble_Reset();
    g_pfnZorvaLogIntf = nullptr;
    RecorderA().Clear();
    RecorderB().Clear();
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAgent();
        primary_ = dir_.Write("primary.dat", "primary key store");
        standby_ = dir_.Write("standby.dat", "standby key store");
    }
    void TearDown() override { ResetAgent(); }

    int InitA() { return ZORVA_Init(LogToA, primary_.c_str(), standby_.c_str()); }

    TempDir dir_;
    std::string primary_;
    std::string standby_;
};

} // namespace zorva_test
