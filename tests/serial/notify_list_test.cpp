#include "serial/notify_list.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_serial.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

struct Recorder {
  std::vector<std::string>* calls;
  std::string name;
  TspNotifyList* list = nullptr;
  TspNotifyEvent remove_on_call{};
  void OnNotify(TObject*, std::int32_t code) {
    calls->push_back(name + std::to_string(code));
    if (remove_on_call) list->Delete(list->IndexOf(remove_on_call));
  }
  TspNotifyEvent Event() { return TspNotifyEvent::Of<Recorder, &Recorder::OnNotify>(this); }
};

TEST(Listeners, SameHandlerIsListedOnceAndUnknownRemovalChangesNothing) {
  auto driver = std::make_shared<win::FakeSerialDriver>();
  LoopMainThread main;
  TspComm comm(nullptr, main, driver);
  std::vector<std::string> calls;
  Recorder a{&calls, "a"}, b{&calls, "b"}, c{&calls, "c"};
  EXPECT_EQ(comm.AddListener(a.Event()), 0);
  EXPECT_EQ(comm.AddListener(b.Event()), 1);
  EXPECT_EQ(comm.AddListener(a.Event()), 0);
  comm.RemoveListener(c.Event());
  comm.NotifyListeners(3);
  EXPECT_EQ(calls, (std::vector<std::string>{"a3", "b3"}));
  comm.RemoveListener(a.Event());
  comm.NotifyListeners(1);
  EXPECT_EQ(calls.back(), "b1");
  EXPECT_EQ(calls.size(), 3u);
}

TEST(Listeners, RemovalDuringNotificationSparesTheOthers) {
  TspNotifyList list;
  std::vector<std::string> calls;
  Recorder a{&calls, "a", &list}, b{&calls, "b", &list}, c{&calls, "c", &list};
  a.remove_on_call = a.Event();  // removes itself
  list.Add(a.Event());
  list.Add(b.Event());
  list.Add(c.Event());
  list.Notify(nullptr, 2);
  EXPECT_EQ(calls, (std::vector<std::string>{"a2", "b2", "c2"}));
  EXPECT_EQ(list.Count(), 2);

  b.remove_on_call = c.Event();  // removes one that has not had its turn: it is not called
  calls.clear();
  list.Notify(nullptr, 1);
  EXPECT_EQ(calls, std::vector<std::string>{"b1"});
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace veldoran::serial
