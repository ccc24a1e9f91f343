// The skinned look: list rows and their colours, value labels, the artwork's sizes and where
// its captions sit, and the application's command-line switches.
#include <QFontMetrics>
#include <QItemSelectionModel>
#include <QtTest>
#include <optional>

#include "app/rureza_app.h"
#include "console/artwork.h"
#include "console/dialog_units.h"
#include "console/rureza_dlg.h"
#include "console/setup_dlg.h"
#include "console/skinned_label.h"
#include "console/skinned_list_box.h"
#include "gui/gui_test_support.h"

namespace rureza {
namespace {

const QColor kGrey(192, 192, 192);

QColor PixelAt(QWidget* widget, QPoint point) { return widget->grab().toImage().pixelColor(point); }

// Every visible control of a window, in the window's coordinates.
std::vector<QRect> ControlRects(const QWidget& window) {
  std::vector<QRect> rects;
  for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (!child->isHidden()) rects.push_back(child->geometry());
  }
  return rects;
}

}  // namespace

class SkinnedControlsTest : public QObject {
  Q_OBJECT

 private slots:
  void listRowsAre18PixelsInTheirColours() {
    CSkinnedListBox list;
    list.resize(300, 120);
    list.SetBackgroundColors(kGrey, QColor(0, 0, 160));
    list.SetTextColors(Qt::black, kGrey);
    list.AddStrings({"first", "second", "third"});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const QRect row0 = list.visualRect(list.model()->index(0, 0));
    const QRect row1 = list.visualRect(list.model()->index(1, 0));
    QCOMPARE(row0.height(), 18);
    QCOMPARE(row1.top() - row0.top(), 18);

    QWidget* viewport = list.viewport();
    QCOMPARE(PixelAt(viewport, QPoint(row0.right() - 3, row0.center().y())), kGrey);
    QCOMPARE(PixelAt(viewport, QPoint(row0.right() - 3, row0.bottom() + 50)), kGrey);
    list.selectionModel()->select(list.model()->index(1, 0), QItemSelectionModel::Select);
    QCOMPARE(PixelAt(viewport, QPoint(row1.right() - 3, row1.center().y())), QColor(0, 0, 160));
    // A selected row keeps its colour however often the list repaints (after a scroll, say).
    list.viewport()->repaint();
    QCOMPARE(PixelAt(viewport, QPoint(row1.right() - 3, row1.center().y())), QColor(0, 0, 160));
  }

  void eachClickTogglesARow() {
    CSkinnedListBox list;
    list.resize(300, 120);
    list.AddStrings({"a", "b", "c"});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    auto click = [&](int row) {
      QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                        list.visualRect(list.model()->index(row, 0)).center());
    };
    click(0);
    click(2);
    QCOMPARE(list.selectionModel()->selectedRows().size(), 2);
    click(0);
    QCOMPARE(list.selectionModel()->selectedRows().size(), 1);
    QVERIFY(list.selectionModel()->isRowSelected(2, {}));
  }

  void aValueLabelFillsItsBackgroundAndFitsItsFigure() {
    CSkinnedLabel label;
    label.resize(39, 14);  // m_rate's size
    label.SetBackgroundColor(kGrey);
    label.setText(QStringLiteral("1234.5678"));
    const QImage image = label.grab().toImage();
    QCOMPARE(image.pixelColor(1, 1), kGrey);
    bool inkAtTheEdge = false;
    for (int y = 0; y < image.height(); ++y) inkAtTheEdge |= image.pixelColor(38, y) != kGrey;
    QVERIFY(!inkAtTheEdge);  // drawn smaller, not cut off
    bool ink = false;
    for (int x = 0; x < image.width(); ++x) ink |= image.pixelColor(x, 7) != kGrey;
    QVERIFY(ink);
  }

  void captionsStandInTheWindowBesideTheirControls_data() {
    QTest::addColumn<bool>("main");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("main window")
        << true << QStringList{"System Message", "Server status",   "HostName :", "IP Address :",
                               "Network status", "Transfer Rate :", "M bps",      "Users :",
                               "Sent :",         "Packages",        "Received",   "Packages"};
    QTest::newRow("setup dialog") << false
                                  << QStringList{"Network setup",
                                                 "Port [0-65535]",
                                                 "Maximum Connections",
                                                 "Media Source Directories",
                                                 "Video Directory",
                                                 "Audio Directory",
                                                 "Photo Directory",
                                                 "Upgrade Bin file",
                                                 "Message",
                                                 "How many lines you want in system message box"};
  }

  void captionsStandInTheWindowBesideTheirControls() {
    QFETCH(bool, main);
    QFETCH(QStringList, expected);
    test::ScratchDir scratch;
    std::optional<CRurezaDlg> mainWindow;
    std::optional<CSetupDlg> setup;
    QWidget* window = nullptr;
    if (main) {
      window = &mainWindow.emplace();
    } else {
      window = &setup.emplace();
    }
    const Artwork picture = main ? Artwork::kMainBackground : Artwork::kSetupBackground;
    const QRect area(QPoint(0, 0), ArtworkPixmap(picture).size());
    QCOMPARE(area.size(), window->size());  // the picture fills its fixed-size window
    QStringList texts;
    for (const PaintedCaption& caption : BackgroundCaptions(picture)) {
      texts << caption.text;
      const QFont font = ArialFont(main ? kArial8Pixels : kArial9Pixels, caption.heading);
      const QFontMetrics metrics(caption.heading ? QFont(ArialFont(font.pixelSize() + 1, true))
                                                 : font);
      const QRect inked = metrics.boundingRect(caption.rect, caption.alignment, caption.text);
      QVERIFY2(caption.rect.contains(inked), qPrintable(caption.text + " is cut off"));
      QVERIFY2(area.contains(inked), qPrintable(caption.text + " is outside the picture"));
      for (const QRect& control : ControlRects(*window)) {
        QVERIFY2(!control.intersects(inked), qPrintable(caption.text + " is under a control"));
      }
    }
    QCOMPARE(texts, expected);
  }

  void automationSwitchesAreRemoved() {
    char a0[] = "rureza", a1[] = "-Embedding", a2[] = "keep", a3[] = "/Automation",
         a4[] = "-embedding", a5[] = "--Automation", a6[] = "/Embedding";
    char* argv[] = {a0, a1, a2, a3, a4, a5, a6, nullptr};
    int argc = 7;
    QVERIFY(RemoveAutomationSwitches(&argc, argv));
    QCOMPARE(argc, 4);
    QCOMPARE(QByteArray(argv[1]), QByteArray("keep"));
    QCOMPARE(QByteArray(argv[2]), QByteArray("-embedding"));  // case-sensitive
    QCOMPARE(QByteArray(argv[3]), QByteArray("--Automation"));
    QCOMPARE(argv[4], nullptr);

    char b1[] = "-style=fusion";
    char* plain[] = {a0, b1, nullptr};
    int plainCount = 2;
    QVERIFY(!RemoveAutomationSwitches(&plainCount, plain));
    QCOMPARE(plainCount, 2);
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::SkinnedControlsTest)
#include "skinned_controls_test.moc"
