// A service whose parent ends quiets the chair and exits by itself.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "data_dir.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

TEST(ParentWatchdog, OrphanedServiceGoesIdleAndExits) {
  // Orphans are handed to this test process, so it can see how the service ends.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const TempDataDir data;
  const std::string dir = data.path().string();
  // The intermediate shell plays the UI: it starts the service, reports its pid and port,
  // and ends when told to (its standard input closes).
  std::string script = "\"" + bin_path("chair-service") + "\" > " + dir + "/out & echo $!; while [ ! -s " + dir +
                       "/out ]; do sleep 0.05; done; head -c 200 " + dir + "/out; exec sleep 60";
  ServiceProcess parent("/bin/sh", {"-c", script});
  auto lines = parent.read_lines(3);
  ASSERT_GE(lines.size(), 3u) << parent.out();
  pid_t service = std::stoi(lines[0]);
  uint16_t port = static_cast<uint16_t>(std::stoi(lines[2].substr(lines[2].rfind(':') + 1)));

  EventStream events(port);
  ASSERT_TRUE(events.next());
  parent.kill(SIGKILL);
  ASSERT_EQ(parent.wait(), -1);  // killed by the signal

  EXPECT_TRUE(events.wait_for([](const nlohmann::json& j) { return j.value("status", "") == "idle"; }, 5s));
  int status = 0;
  bool reaped = eventually([&] { return waitpid(service, &status, WNOHANG) == service; }, 5s);
  if (!reaped) ::kill(service, SIGKILL);
  ASSERT_TRUE(reaped);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace chair::test
