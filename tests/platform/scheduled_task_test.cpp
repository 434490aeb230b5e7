#include "platform/scheduled_task.h"

#include <gtest/gtest.h>

namespace zavex {
namespace {

// Wine's Task Scheduler keeps neither triggers, principal nor action of a
// registered task, so the definition that registration hands over is checked
// here.
TEST(ScheduledTask, RunsTheCommandAsSystemAtLogonAndEverySixHoursWithJitter) {
  const std::wstring xml = ScheduledTaskXml(
      {L"Task", L"A & <B>", L"C:\\Windows\\System32\\sc.exe", L"start \"Svc\""});
  for (const wchar_t* expected : {
           L"<LogonTrigger><Enabled>true</Enabled></LogonTrigger>",
           L"<Repetition><Interval>PT6H</Interval></Repetition><RandomDelay>PT1H</RandomDelay>"
           L"</TimeTrigger>",
           L"<Principal id=\"System\"><UserId>S-1-5-18</UserId>",
           L"<Actions Context=\"System\"><Exec><Command>C:\\Windows\\System32\\sc.exe</Command>"
           L"<Arguments>start &quot;Svc&quot;</Arguments></Exec></Actions>",
           L"<Description>A &amp; &lt;B&gt;</Description>",
       }) {
    EXPECT_NE(xml.find(expected), std::wstring::npos) << expected;
  }
}

}  // namespace
}  // namespace zavex
