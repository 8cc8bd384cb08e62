// The dialog templates hold together as the window system needs them: each id found, every
// control inside its dialog, no two controls on the same spot, ids unique within a dialog.

#include <gtest/gtest.h>

#include <set>

#include "host/ui/resource_section.h"
#include "resources/resources.h"

namespace {

TEST(DialogTemplates, FindsOnlyTheProgramsDialogs) {
  for (WORD id : {IDD_MAIN, IDD_UPDATE}) {
    const DialogTemplate* dialog = FindDialogTemplate(id);
    ASSERT_NE(dialog, nullptr) << id;
    EXPECT_EQ(dialog->id, id);
  }
  for (WORD id : {0, 100, 103, 1000}) EXPECT_EQ(FindDialogTemplate(id), nullptr) << id;
}

bool Overlap(const DialogItemTemplate& a, const DialogItemTemplate& b) {
  return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

TEST(DialogTemplates, ControlsFitTheirDialogAndDoNotOverlap) {
  for (WORD id : {IDD_MAIN, IDD_UPDATE}) {
    SCOPED_TRACE(id);
    const DialogTemplate* dialog = FindDialogTemplate(id);
    ASSERT_NE(dialog, nullptr);
    ASSERT_GT(dialog->item_count, 0);
    std::set<WORD> ids;
    for (int i = 0; i < dialog->item_count; ++i) {
      const DialogItemTemplate& item = dialog->items[i];
      SCOPED_TRACE(item.id);
      EXPECT_TRUE(ids.insert(item.id).second) << "duplicate id";
      EXPECT_TRUE(item.style & WS_CHILD);
      EXPECT_GE(item.x, 0);
      EXPECT_GE(item.y, 0);
      EXPECT_GT(item.cx, 0);
      EXPECT_GT(item.cy, 0);
      EXPECT_LE(item.x + item.cx, dialog->cx);
      EXPECT_LE(item.y + item.cy, dialog->cy);
      for (int j = 0; j < i; ++j)
        EXPECT_FALSE(Overlap(item, dialog->items[j])) << dialog->items[j].id;
    }
  }
}

}  // namespace
