#pragma once

#include "p2p/P2PApi.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

// A test with the transport initialised on isolated ports, and ended after it.
class TransportFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void SetUp() override {
        ASSERT_EQ(IOTC_Initialize2(0), 0);
        ASSERT_GE(avInitialize(8), 0);
    }
    void TearDown() override {
        avDeInitialize();
        IOTC_DeInitialize();
    }
};
