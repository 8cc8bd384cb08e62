// The dialog templates of the compiled resources: the fields imbrel.rc gives, and that they
// hold together as the window system needs them: each id found, every control inside its
// dialog, no two controls on the same spot, ids unique within a dialog.

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

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

// What imbrel.rc compiles to, field by field: the window system lays the dialogs out from
// these, and the device's resource compiler must give the same.
TEST(DialogTemplates, CompiledResourceHoldsTheProgramsDialogs) {
  struct Item {
    WORD id;
    std::u16string class_name, text;
    DWORD style;
    short x, y, cx, cy;
  };
  struct Expected {
    WORD id;
    DWORD style;
    short cx, cy;
    std::u16string caption;
    std::vector<Item> items;
  };
  const DWORD button = 0x50010000, hidden_button = 0x40010000, progress = 0x50800000,
              label = 0x50020000;
  const Expected dialogs[] = {
      {IDD_MAIN,
       0x80C800C0,
       119,
       119,
       u"Imbrel",
       {{1001, u"button", u"Save Registry to Flash", button, 7, 7, 105, 19},
        {1000, u"button", u"Clear Registry on Flash", button, 7, 28, 105, 19},
        {1002, u"button", u"Update Bootloader/Image", button, 7, 49, 105, 19},
        {1004, u"button", u"BSP Version", button, 7, 70, 105, 19},
        {1003, u"button", u"Coldboot", button, 69, 93, 43, 19},
        {1005, u"button", u"Warmboot", button, 7, 93, 43, 19}}},
      {IDD_UPDATE,
       0x80C000C0,
       171,
       89,
       u"Updating IMAGE",
       {{IDCANCEL, u"button", u"Abort", hidden_button, 52, 71, 58, 11},
        {1002, u"msctls_progress32", u"Progress1", progress, 7, 20, 157, 13},
        {1003, u"msctls_progress32", u"Progress2", progress, 7, 52, 157, 14},
        {1004, u"static", u"", label, 7, 7, 157, 10},
        {1005, u"static", u"", label, 7, 39, 157, 10}}},
  };
  for (const Expected& want : dialogs) {
    SCOPED_TRACE(want.id);
    const DialogTemplate* got = FindDialogTemplate(want.id);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->style, want.style);
    EXPECT_EQ(got->language, 0x0409);
    EXPECT_EQ(got->x, 0);
    EXPECT_EQ(got->y, 0);
    EXPECT_EQ(got->cx, want.cx);
    EXPECT_EQ(got->cy, want.cy);
    EXPECT_EQ(std::u16string(got->caption), want.caption);
    EXPECT_EQ(std::u16string(got->font), u"System");
    EXPECT_EQ(got->font_points, 8);
    ASSERT_EQ(got->item_count, static_cast<int>(want.items.size()));
    for (int i = 0; i < got->item_count; ++i) {
      const DialogItemTemplate& g = got->items[i];
      const Item& w = want.items[i];
      SCOPED_TRACE(w.id);
      EXPECT_EQ(g.id, w.id);
      std::u16string class_name(g.class_name);  // class names ignore case; windres capitalises
      for (char16_t& c : class_name) c = c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
      EXPECT_EQ(class_name, w.class_name);
      EXPECT_EQ(std::u16string(g.text), w.text);
      EXPECT_EQ(g.style, w.style);
      EXPECT_EQ((std::array<short, 4>{g.x, g.y, g.cx, g.cy}),
                (std::array<short, 4>{w.x, w.y, w.cx, w.cy}));
    }
  }
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
