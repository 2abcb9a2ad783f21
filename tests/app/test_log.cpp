// Log records: their text and priority, and where the tool sends them.
#include <syslog.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/SyslogAppender.hh>

#include "app_log_setup.h"
#include "protocol/app_log.h"

namespace {

struct Record {
    std::string strMessage;
    int s32Priority;
    std::string strCategory;
};

// Keeps every record it is given.
class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender() : log4cpp::AppenderSkeleton("capture") {}
    std::vector<Record> m_vecRecords;
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *pobjLayout) override { delete pobjLayout; }

protected:
    void _append(const log4cpp::LoggingEvent &stEvent) override {
        m_vecRecords.push_back({stEvent.message, stEvent.priority, stEvent.categoryName});
    }
};

// Reads the ident and facility a SyslogAppender was built with (protected
// members, reached through a derived class's member pointers).
struct SyslogAppenderPeek : log4cpp::SyslogAppender {
    static const std::string &Ident(const log4cpp::SyslogAppender &objAppender) {
        return objAppender.*(&SyslogAppenderPeek::_syslogName);
    }
    static int Facility(const log4cpp::SyslogAppender &objAppender) {
        return objAppender.*(&SyslogAppenderPeek::_facility);
    }
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { AppLogCategory().addAppender(m_objCapture); }
    void TearDown() override {
        AppLogCategory().removeAppender(&m_objCapture);
        AppLogCategory().setPriority(log4cpp::Priority::NOTSET);
    }
    CaptureAppender m_objCapture;
};

TEST_F(LogTest, RecordsCarryTheirSourcePlaceAndPriority) {
    AppLogCategory().setPriority(log4cpp::Priority::DEBUG);
    unsigned u32DebugLine = __LINE__ + 1;
    APP_LOG_DEBUG("app write buf %d", 17);
    unsigned u32ErrorLine = __LINE__ + 1;
    APP_LOG_ERROR("write upgrade success failed");

    ASSERT_EQ(2u, m_objCapture.m_vecRecords.size());
    EXPECT_EQ("app write buf 17 --[test_log.cpp:" + std::to_string(u32DebugLine) + "]",
              m_objCapture.m_vecRecords[0].strMessage);
    EXPECT_EQ(700, m_objCapture.m_vecRecords[0].s32Priority);
    EXPECT_EQ("CATEGORY", m_objCapture.m_vecRecords[0].strCategory);
    EXPECT_EQ("write upgrade success failed --[test_log.cpp:" + std::to_string(u32ErrorLine) + "]",
              m_objCapture.m_vecRecords[1].strMessage);
    EXPECT_EQ(300, m_objCapture.m_vecRecords[1].s32Priority);
}

TEST_F(LogTest, DefaultPriorityKeepsDebugRecordsOut) {
    // "CATEGORY" inherits the root's priority, INFO: per-frame debug records
    // are dropped, errors pass.
    EXPECT_EQ(log4cpp::Priority::INFO, log4cpp::Category::getRoot().getPriority());
    APP_LOG_DEBUG("app read buf %d", 3);
    APP_LOG_ERROR("write upgrade success failed");
    ASSERT_EQ(1u, m_objCapture.m_vecRecords.size());
    EXPECT_EQ(300, m_objCapture.m_vecRecords[0].s32Priority);
}

TEST(AppLogInit, InstallsOneSyslogAppenderOnTheRoot) {
    AppLogInit();
    AppLogInit(); // a second call adds nothing

    log4cpp::Category &objRoot = log4cpp::Category::getRoot();
    int s32Syslog = 0;
    for (log4cpp::Appender *pobjAppender : objRoot.getAllAppenders()) {
        if (dynamic_cast<log4cpp::SyslogAppender *>(pobjAppender) != nullptr) {
            ++s32Syslog;
        }
    }
    EXPECT_EQ(1, s32Syslog);

    auto *pobjSyslog =
        dynamic_cast<log4cpp::SyslogAppender *>(objRoot.getAppender(APP_LOG_SYSLOG_APPENDER));
    ASSERT_NE(nullptr, pobjSyslog);
    EXPECT_EQ("irupdate", SyslogAppenderPeek::Ident(*pobjSyslog));
    EXPECT_EQ(LOG_USER, SyslogAppenderPeek::Facility(*pobjSyslog));
    // The root's priority stays log4cpp's default.
    EXPECT_EQ(log4cpp::Priority::INFO, objRoot.getPriority());
    // "CATEGORY" records reach the root's appenders.
    EXPECT_TRUE(AppLogCategory().getAdditivity());

    // Keep the rest of this program's records out of the machine's system log.
    objRoot.removeAppender(pobjSyslog);
}

} // namespace
