#include "app/core/thread_context.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace ravelin {
namespace {

// A procedure that opens one window on its context and hands both back.
struct Opened {
  ThreadContext* context = nullptr;
  QWidget* window = nullptr;
};

ProcedureSpec OpeningProcedure(Opened& out) {
  return {"Listitems", 50000, [&out](ThreadContext& c) {
            out.context = &c;
            out.window = new QWidget;
            c.OpenWindow(out.window, QString(), true, QString());
          }};
}

TEST(ThreadContext, StartedProceduresHaveTheirOwnCodesAndTables) {
  Opened one, two;
  StartProcedure(OpeningProcedure(one), {}, nullptr);
  StartProcedure(OpeningProcedure(two), {}, nullptr);
  ASSERT_NE(one.context, two.context);
  EXPECT_EQ(one.context->stack_size(), 50000);
  ASSERT_NE(one.context->dictionary(), nullptr);
  ASSERT_NE(two.context->dictionary(), nullptr);

  TableInstance& items1 = one.context->dictionary()->table(TableId::kItems);
  TableInstance& items2 = two.context->dictionary()->table(TableId::kItems);
  items1.SetText(0, "Camping");
  EXPECT_EQ(items2.GetText(0), "");
  one.context->codes().request = platform::request::kInsertRecord;
  EXPECT_EQ(two.context->codes().request, platform::request::kNone);

  // Closing a context's last window ends it and releases its tables.
  QPointer<ThreadContext> first = one.context;
  delete one.window;
  EXPECT_TRUE(first->has_ended());
  EXPECT_EQ(first->dictionary(), nullptr);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull());
  EXPECT_FALSE(two.context->has_ended());
  delete two.window;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(ThreadContext, ProcedureWithoutWindowEndsWhenItReturns) {
  bool had_tables = false;
  QPointer<ThreadContext> context = StartProcedure(
      {"about", ThreadContext::kDefaultStack,
       [&](ThreadContext& c) { had_tables = c.dictionary() != nullptr; }},
      {}, nullptr);
  EXPECT_TRUE(had_tables);
  ASSERT_FALSE(context.isNull());
  EXPECT_TRUE(context->has_ended());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(context.isNull());
}

TEST(ThreadContext, TheFirstContextLeavesItsDictionaryToStartUp) {
  ThreadContext main("Main", ThreadContext::kDefaultStack, {}, nullptr, true);
  main.set_delete_when_ended(false);
  main.Start();
  EXPECT_EQ(main.dictionary(), nullptr);
  main.SetUpDictionary();
  EXPECT_NE(main.dictionary(), nullptr);
}

}  // namespace
}  // namespace ravelin
