// Card codes that an upload would never send: the hint beside the card code field, the marks
// in the users grid, and letters a-f typed in upper case, on the real window.
#include "records/card_code_check.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "support/window_fixture.h"
#include "ui/string_grid.h"

namespace veldoran::records {
namespace {

class CardCodeCheckTest : public testing::WindowTest {
 protected:
  // Types into the card code field as the operator does.
  void Type(const QString& text) {
    QLineEdit* edit = Form().Edit6;
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  bool HintShown() { return !Form().CardCodeHint->isHidden(); }
};

TEST(CardCodeRules, UnsendableCodesAndUpperCase) {
  const struct {
    const char* code;
    bool unsendable;
  } cases[] = {{"", false},        {"0044ABCD", false}, {"0044abcd", false},
               {"ZZ12", true},     {"0044ABC", true},   {"0044ABCDE", true},
               {"0044ABCG", true}, {"0044 BCD", true},  {"ąąąąąąąą", true}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsUnsendableCardCode(QString::fromUtf8(c.code)), c.unsendable) << c.code;
  }
  EXPECT_EQ(WithUpperHexLetters("0a1b2c3d4e5f-zgą"), "0A1B2C3D4E5F-zgą");
}

TEST_F(CardCodeCheckTest, TypedLettersAThroughFBecomeUpperCase) {
  app::TForm1& f = Form();
  Type("0044abcd");
  EXPECT_EQ(f.Edit6->text(), "0044ABCD");
  EXPECT_FALSE(HintShown());
  f.Button14Click();
  EXPECT_EQ(f.Users[1].CardCode, "0044ABCD");
  EXPECT_FALSE(f.StringGrid3->IsCellMarked(3, 1));
  // Editing in the middle keeps the cursor where the operator types.
  f.StringGrid3->SetRow(1);
  f.Edit6->setCursorPosition(2);
  QTest::keyClick(f.Edit6, Qt::Key_Backspace);
  QTest::keyClicks(f.Edit6, "e");
  EXPECT_EQ(f.Edit6->text(), "0E44ABCD");
  EXPECT_EQ(f.Edit6->cursorPosition(), 2);
}

TEST_F(CardCodeCheckTest, AnUnsendableCodeIsHintedStoredAndMarked) {
  app::TForm1& f = Form();
  Type("ZZ12");
  EXPECT_EQ(f.Edit6->text(), "ZZ12");
  EXPECT_TRUE(HintShown());
  EXPECT_EQ(f.CardCodeHint->text(), UnsendableCardCodeHint());
  f.Button14Click();  // not blocked, no message box
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
  EXPECT_EQ(f.Users[1].CardCode, "ZZ12");
  EXPECT_EQ(f.StringGrid3->Cell(3, 1), "ZZ12");
  EXPECT_TRUE(f.StringGrid3->IsCellMarked(3, 1));
  EXPECT_FALSE(HintShown());  // row 2 is shown, it has no code
  EXPECT_FALSE(f.StringGrid3->IsCellMarked(3, 2));
  // Mended in place: the mark goes with the next save.
  f.StringGrid3->SetRow(1);
  EXPECT_TRUE(HintShown());
  Type("zz12abcd");
  EXPECT_EQ(f.Edit6->text(), "zz12ABCD");
  Type("00120abc");
  EXPECT_FALSE(HintShown());
  f.Button14Click();
  EXPECT_FALSE(f.StringGrid3->IsCellMarked(3, 1));
}

TEST_F(CardCodeCheckTest, CodesFromConfigIniStayAsTheyAre) {
  testing::WriteFileBytes(dir_ / "Config.ini", "[kod]\r\n1=0044abcd\r\n2=ZZ12\r\n3=0044ABCD\r\n");
  app::TForm1& f = Form();
  EXPECT_EQ(f.Edit6->text(), "0044abcd");  // row 1, not changed by showing it
  EXPECT_FALSE(HintShown());
  EXPECT_FALSE(f.StringGrid3->IsCellMarked(3, 1));
  EXPECT_TRUE(f.StringGrid3->IsCellMarked(3, 2));
  EXPECT_FALSE(f.StringGrid3->IsCellMarked(3, 3));
  EXPECT_EQ(f.StringGrid3->Cell(3, 2), "ZZ12");
  f.Button14Click();  // saving row 1 keeps its code as the file has it
  EXPECT_EQ(f.Users[1].CardCode, "0044abcd");
  EXPECT_NE(testing::ReadFileBytes(dir_ / "Config.ini").find("1=0044abcd\r\n"), std::string::npos);
  EXPECT_TRUE(HintShown());  // row 2
}

}  // namespace
}  // namespace veldoran::records
