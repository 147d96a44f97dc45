// WinDriver where no filter driver is installed (Wine): the missing driver
// service is reported as the service logs it, and every code fails at once.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "WinDriver.h"

namespace {

TEST(WinDriver, MissingDriverServiceFailsEveryCodeWithoutHanging) {
    LogWatch log;
    WinDriver* driver = WinDriver::instance();
    ASSERT_EQ(Driver::instance(), driver);
    EXPECT_EQ(driver->getStatus(), DRIVER_ERROR);
    // 1060: the service does not exist.
    EXPECT_TRUE(log.saw("OpenService failed!  Error = 1060"));
    EXPECT_TRUE(log.saw("WinDriver::Load() loadAndStart failed 1060"));
    EXPECT_TRUE(log.saw("driver location "));

    EXPECT_EQ(driver->setFilterStatus(1), 0);
    EXPECT_EQ(driver->setSysZorvUserMap({{"S-1-5-21-1-2-3-1001", 3}}), 0);
    EXPECT_EQ(driver->disableFilter(), 0);
    EXPECT_GE(log.count("Module devfd is invalid"), 3);
    EXPECT_EQ(driver->waitForCommand(), nullptr);
    int errCode = 0;
    EXPECT_EQ(driver->status(errCode), DRIVER_ERROR);
    EXPECT_EQ(errCode, 1060);
    EXPECT_TRUE(log.saw("WinDriver::status 1060"));

    WinDriver::cleanUp();
    EXPECT_EQ(Driver::instance(), nullptr);
}

}  // namespace
