#include "automatic_accelerators.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <memory>
#include <random>
#include <set>
#include <string_view>

namespace {

using platform::apply_automatic_accelerators;
using platform::assign_accelerators;
using platform::MenuCaption;

std::vector<QString> assign(std::initializer_list<QString> texts) {
    std::vector<MenuCaption> captions;
    for (const auto& t : texts) captions.push_back({t, true});
    return assign_accelerators(captions);
}

std::vector<MenuCaption> visible(const std::vector<QString>& texts) {
    std::vector<MenuCaption> captions;
    for (const auto& t : texts) captions.push_back({t, true});
    return captions;
}

using Texts = std::vector<QString>;

// The key Qt itself reads from a caption, to check that it agrees with our markers.
QKeySequence mnemonic(const QString& text) {
    return QKeySequence::mnemonic(text);
}

TEST(AssignAccelerators, NamesSharingAFirstLetterGetDistinctKeys) {
    const auto out = assign({"Mail", "Messenger", "Maps"});
    EXPECT_EQ(out, (Texts{"&Mail", "M&essenger", "M&aps"}));
    EXPECT_EQ(mnemonic(out[1]), QKeySequence(Qt::ALT | Qt::Key_E));
    EXPECT_EQ(mnemonic(out[2]), QKeySequence(Qt::ALT | Qt::Key_A));
}

TEST(AssignAccelerators, LowerAndUpperCaseShareAKeyDigitsAreKeys) {
    EXPECT_EQ(assign({"alpha", "ALPHA", "Apple"}), (Texts{"&alpha", "A&LPHA", "A&pple"}));
    EXPECT_EQ(assign({"1", "10", "2x", "x2"}), (Texts{"&1", "1&0", "&2x", "&x2"}));
}

TEST(AssignAccelerators, OnlyAsciiLettersAndDigitsAreKeys) {
    // No folding beyond a-z: accented letters, other scripts and punctuation are skipped.
    EXPECT_EQ(
        assign({QStringLiteral("Ärger"), QStringLiteral("éa"), QStringLiteral("ß7"), " .x"}),
        (Texts{QStringLiteral("Ä&rger"), QStringLiteral("é&a"), QStringLiteral("ß&7"), " .&x"}));
}

TEST(AssignAccelerators, ItemsWithoutFreeCharacterGetNothing) {
    std::vector<QString> texts;
    for (const char c : std::string_view("1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        texts.push_back(QString(QChar::fromLatin1(c)));
    texts.push_back("Z1 A");  // the 37th item: every key is gone
    texts.push_back("...");
    texts.push_back("+ / +");
    const auto out = assign_accelerators(visible(texts));
    ASSERT_EQ(out.size(), texts.size());
    for (std::size_t i = 0; i < 36; ++i) EXPECT_EQ(out[i], "&" + texts[i]);
    EXPECT_EQ(out[36], "Z1 A");
    EXPECT_EQ(out[37], "...");
    EXPECT_EQ(out[38], "+ / +");
}

TEST(AssignAccelerators, DoubleAmpersandIsALiteralNotAMarker) {
    EXPECT_EQ(assign({"R&&D"}), (Texts{"&R&&D"}));
    const auto out = assign({"Run", "R&&D", "&&"});
    EXPECT_EQ(out, (Texts{"&Run", "R&&&D", "&&"}));
    EXPECT_EQ(mnemonic(out[1]), QKeySequence(Qt::ALT | Qt::Key_D));
    // A trailing "&" marks nothing either.
    EXPECT_EQ(assign({"Tom&"}), (Texts{"&Tom&"}));
}

TEST(AssignAccelerators, ExistingMarkerKeepsItsKeyEvenAfterEarlierItems) {
    // "&Maps" comes later but already holds M; "Mail" is served from what is left.
    EXPECT_EQ(assign({"Mail", "&Maps"}), (Texts{"M&ail", "&Maps"}));
    EXPECT_EQ(assign({"E&xit", "Exit", "About..."}), (Texts{"E&xit", "&Exit", "&About..."}));
    // The last single marker is the one that counts.
    EXPECT_EQ(assign({"&a&b", "ab"}), (Texts{"&a&b", "&ab"}));
}

TEST(AssignAccelerators, MarkerOnANonKeyCharacterStaysAndTakesNoKey) {
    EXPECT_EQ(assign({"Tom & Jerry", QStringLiteral("&éclair"), "Tea", "Ecl"}),
              (Texts{"Tom & Jerry", QStringLiteral("&éclair"), "&Tea", "&Ecl"}));
}

TEST(AssignAccelerators, DuplicateMarkerIsRemovedAndServedAgain) {
    EXPECT_EQ(assign({"&Open", "&Options"}), (Texts{"&Open", "O&ptions"}));
    EXPECT_EQ(assign({"&Open", "&open"}), (Texts{"&Open", "o&pen"}));
    // Every marker of the loser goes, so the new one is the caption's only marker.
    EXPECT_EQ(assign({"&Open", "&x&Oz"}), (Texts{"&Open", "&xOz"}));
    // A loser with no free character is left without any marker.
    EXPECT_EQ(assign({"&O", "&o"}), (Texts{"&O", "o"}));
    // Literals survive the removal.
    EXPECT_EQ(assign({"&A", "&&&A&&B"}), (Texts{"&A", "&&A&&&B"}));
}

TEST(AssignAccelerators, HiddenItemsSeparatorsAndEmptyCaptionsAreLeftAlone) {
    const std::vector<MenuCaption> in{{"Mail", false},  {"-", true},    {"", true},
                                      {"&Maps", false}, {"Maps", true}, {"Mix", true}};
    EXPECT_EQ(assign_accelerators(in), (Texts{"Mail", "-", "", "&Maps", "&Maps", "M&ix"}));
}

TEST(AssignAccelerators, ServedItemsFirstWhenPlainOrderLeavesOneOut) {
    // In menu order "ab" takes A and "a" has nothing left; served first, "a" takes A and
    // "ab" still gets B.
    EXPECT_EQ(assign({"ab", "a"}), (Texts{"a&b", "&a"}));
}

TEST(AssignAccelerators, FurtherTriesFollowWhileTheyImprove) {
    // Menu order serves 2 of 4, ["ac", "a"] first serves 3, then ["a"] first serves all.
    EXPECT_EQ(assign({"ab", "cd", "ac", "a"}), (Texts{"a&b", "c&d", "a&c", "&a"}));
}

TEST(AssignAccelerators, EarliestTryWinsATie) {
    // Menu order serves "ab" and "ba"; serving "a" and "b" first serves as many.
    EXPECT_EQ(assign({"ab", "ba", "a", "b"}), (Texts{"&ab", "&ba", "a", "b"}));
}

TEST(AssignAccelerators, ApplyingAgainChangesNothing) {
    const std::vector<std::vector<QString>> cases{
        {"Mail", "Messenger", "Maps"},
        {"ab", "cd", "ac", "a"},
        {"ab", "ba", "a", "b"},
        {"&Open", "&x&Oz", "R&&D", "Tom & Jerry", "...", "-", ""},
    };
    for (const auto& texts : cases) {
        const auto once = assign_accelerators(visible(texts));
        EXPECT_EQ(assign_accelerators(visible(once)), once);
    }
}

TEST(AssignAccelerators, ItemAddedLaterGetsAKeyStillFree) {
    auto texts = assign({"Mail", "Messenger", "Maps"});
    texts.push_back("Mean");
    EXPECT_EQ(assign_accelerators(visible(texts)),
              (Texts{"&Mail", "M&essenger", "M&aps", "Mea&n"}));
}

// The key a caption marks, read independently of the code under test: the character
// after the last single "&", upper-cased when it is a-z; 0 when there is none.
char16_t marked_key(const QString& text) {
    char16_t key = 0;
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != u'&') continue;
        if (text[i + 1] != u'&') key = QChar::toUpper(text[i + 1].unicode());
        ++i;
    }
    return key;
}

// The text a menu shows for a caption: markers dropped, "&&" shown as one "&".
QString shown(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

TEST(AssignAccelerators, RandomMenusGetDistinctKeysAndSettle) {
    const QString alphabet = QStringLiteral("abcAB12 &-.\u00e9");
    std::mt19937 random(7u);
    for (int round = 0; round < 400; ++round) {
        std::vector<MenuCaption> in(random() % 40);
        for (auto& item : in) {
            const int length = static_cast<int>(random() % 5);
            for (int k = 0; k < length; ++k) item.text += alphabet[random() % alphabet.size()];
            item.visible = random() % 8 != 0;
        }
        const auto out = assign_accelerators(in);
        ASSERT_EQ(out.size(), in.size());
        std::set<char16_t> keys;
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (!in[i].visible || in[i].text.isEmpty() || in[i].text == u"-") {
                EXPECT_EQ(out[i], in[i].text);
                continue;
            }
            const char16_t key = marked_key(out[i]);
            const bool is_key = (key >= u'A' && key <= u'Z') || (key >= u'0' && key <= u'9');
            if (is_key) {
                EXPECT_TRUE(keys.insert(key).second) << out[i].toStdString();
            }
            // Only markers change: the text shown stays the same.
            EXPECT_EQ(shown(out[i]), shown(in[i].text)) << in[i].text.toStdString();
        }
        std::vector<MenuCaption> again = in;
        for (std::size_t i = 0; i < in.size(); ++i) again[i].text = out[i];
        EXPECT_EQ(assign_accelerators(again), out);
    }
}

// QMenu needs an application object; offscreen so that no display is needed. It goes
// before static destruction, which Qt does not survive.
class QtApplication : public ::testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[19] = "accelerators_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

const auto* const qt_application = ::testing::AddGlobalTestEnvironment(new QtApplication);

class ApplyToMenu : public ::testing::Test {
  protected:
    QAction* add_named(QMenu& menu, const QString& name) {
        QAction* action = menu.addAction(name);
        action->setData(name);
        return action;
    }
};

TEST_F(ApplyToMenu, SetsCaptionsButKeepsNamesInData) {
    QMenu menu;
    QAction* mail = add_named(menu, "Mail");
    menu.addSeparator();
    QAction* messenger = add_named(menu, "Messenger");
    QAction* hidden = add_named(menu, "Mars");
    hidden->setVisible(false);
    QAction* maps = add_named(menu, "Maps");
    QMenu* sub = menu.addMenu("More");
    QAction* inner = add_named(*sub, "Mail");

    apply_automatic_accelerators(&menu);

    EXPECT_EQ(mail->text(), "&Mail");
    EXPECT_EQ(messenger->text(), "M&essenger");
    EXPECT_EQ(hidden->text(), "Mars");
    EXPECT_EQ(maps->text(), "M&aps");
    EXPECT_EQ(sub->menuAction()->text(), "M&ore");
    EXPECT_EQ(inner->text(), "Mail");  // a submenu is its own level
    EXPECT_EQ(mail->data().toString(), "Mail");
    EXPECT_EQ(messenger->data().toString(), "Messenger");
    EXPECT_EQ(maps->data().toString(), "Maps");
    EXPECT_TRUE(menu.actions()[1]->isSeparator());
    EXPECT_EQ(menu.actions()[1]->text(), "");

    // A second opening finds nothing to change and leaves the actions untouched.
    int changes = 0;
    for (QAction* a : menu.actions()) QObject::connect(a, &QAction::changed, [&] { ++changes; });
    apply_automatic_accelerators(&menu);
    EXPECT_EQ(messenger->text(), "M&essenger");
    EXPECT_EQ(changes, 0);

    // Nothing to do on no menu.
    apply_automatic_accelerators(nullptr);
}

TEST_F(ApplyToMenu, PressingTheMarkedKeyPicksTheItem) {
    QMenu menu;
    add_named(menu, "Mail");
    QAction* messenger = add_named(menu, "Messenger");
    add_named(menu, "Maps");
    apply_automatic_accelerators(&menu);

    QAction* picked = nullptr;
    QObject::connect(&menu, &QMenu::triggered, [&](QAction* a) { picked = a; });
    menu.popup(QPoint(10, 10));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_E, Qt::NoModifier, "e");
    QCoreApplication::sendEvent(&menu, &press);
    ASSERT_NE(picked, nullptr);
    EXPECT_EQ(picked, messenger);
    EXPECT_EQ(picked->data().toString(), "Messenger");
    menu.close();
}

TEST_F(ApplyToMenu, ItemAddedAfterAnOpeningGetsAKeyAtTheNext) {
    QMenu menu;
    add_named(menu, "Mail");
    add_named(menu, "Maps");
    apply_automatic_accelerators(&menu);
    QAction* later = add_named(menu, "Mean");
    apply_automatic_accelerators(&menu);
    EXPECT_EQ(menu.actions()[0]->text(), "&Mail");
    EXPECT_EQ(menu.actions()[1]->text(), "M&aps");
    EXPECT_EQ(later->text(), "M&ean");
    EXPECT_EQ(later->data().toString(), "Mean");
}

}  // namespace
