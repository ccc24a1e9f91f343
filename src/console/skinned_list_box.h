// CSkinnedListBox: the activity log list. It keeps its lines itself (there is no log file),
// draws every row 18 pixels high in its own colours, and lets each click toggle a row's
// selection. New lines go at the end and the view follows them while it shows the last line.
// Thread safety: GUI thread only; LogListSink hands it lines from other threads.
#pragma once

#include <QColor>
#include <QListView>
#include <QStringList>

namespace rureza {

class LogListModel;

class CSkinnedListBox : public QListView {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CSkinnedListBox)

 public:
  static constexpr int kRowHeight = 18;

  explicit CSkinnedListBox(QWidget* parent = nullptr);

  void AddString(const QString& line);
  // Adds the lines at the end in one step (one model insertion for all of them).
  void AddStrings(const QStringList& lines);
  // Empties the list.
  void ResetContent();
  int GetCount() const;
  QString GetText(int row) const;

  // The ground behind the rows and the fill of selected rows; repaints the whole list.
  void SetBackgroundColors(const QColor& background, const QColor& selection);
  // The text of rows, and of the selected row that has the keyboard focus; repaints.
  void SetTextColors(const QColor& text, const QColor& selectedText);

  QColor BackgroundColor() const { return background_; }
  QColor SelectionColor() const { return selection_; }
  QColor TextColor() const { return text_; }
  QColor SelectedTextColor() const { return selectedText_; }

 private:
  LogListModel* model_;
  QColor background_;
  QColor selection_;
  QColor text_;
  QColor selectedText_;
  bool following_ = true;  // the view showed the last line when it last moved
};

}  // namespace rureza
