// Worker-mode selection and the administrator decision. Under Wine the user
// is always an administrator, so the decisions are driven with the answer
// given; the administrator paths that start real workers are covered by the
// end-to-end tests.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/app/RunMode.h"
#include "core/commands/StartupRegistration.h"
#include "core/maintenance/Maintenance.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "tests/support/TestLog.h"

namespace {

// Each test logs into a file of its own so the whole sequence can be read.
class WorkerLog : public ::testing::Test {
protected:
    std::string Log() { return log_.Read(); }

    testsupport::TestLog log_{L"marlin-worker"};
};

}  // namespace

TEST_F(WorkerLog, NonAdministratorStartsNoWorker) {
    checkMaintenanceFor(false);
    EXPECT_EQ(Log(), "");  // a normal start by a non-administrator logs nothing here

    // Nor do the start-entry operations, with the autostart still machine-wide
    // (on Windows, each would be an elevation prompt the user cannot answer).
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValueName, L"\"C:\\old\\dock.exe\""));
    EXPECT_FALSE(moveMachineRunEntryToUsersFor(false));
    RegistryManager::DeleteKey(HKEY_LOCAL_MACHINE, kRunKey, kRunValueName, true);

    EXPECT_FALSE(updatePending());
    startUpdaterFor(false, L"C:\\updates");
    // The listeners close after an update command in any case: the service
    // must come back, unchanged.
    EXPECT_TRUE(updatePending());
    const std::string log = Log();
    EXPECT_EQ(log.find("Start MarlinCore.exe"), std::string::npos) << log;
    EXPECT_EQ(log.find("maintenance copy"), std::string::npos) << log;
}

// Each worker word, recognised by its beginning with letter case counting;
// anything else, including a dock command the service itself answers, is
// the service.
TEST(RunModes, CommandLineNamesOneMode) {
    EXPECT_EQ(ParseRunMode(L""), RunMode::Service);
    EXPECT_EQ(ParseRunMode(L"Updater \"C:\\up date\""), RunMode::Updater);
    EXPECT_EQ(ParseRunMode(L"UpdaterX"), RunMode::Updater);
    EXPECT_EQ(ParseRunMode(L"Fixer"), RunMode::Fixer);
    EXPECT_EQ(ParseRunMode(L"upgradeAirApp \"a\" \"b\" \"c\" "), RunMode::AirUpgrade);
    EXPECT_EQ(ParseRunMode(L"installNativeApp a b c d"), RunMode::NativeInstaller);
    EXPECT_EQ(ParseRunMode(L"upgradeNativeApp x"), RunMode::NativeInstaller);
    EXPECT_EQ(ParseRunMode(L"uninstallNativeApp"), RunMode::NativeInstaller);
    EXPECT_EQ(ParseRunMode(L"fixer"), RunMode::Service);
    EXPECT_EQ(ParseRunMode(L"isNativeAppInstalled a b"), RunMode::Service);
}
