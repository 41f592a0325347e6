#pragma once
// A slim bar over a list that narrows the list to the rows holding what is
// typed in it. Hidden until used: typing a character in the list opens it
// with that character; Escape empties it, hides it and gives the focus back
// to the list; Down or Page Down go from it into the list.

#include <QPointer>
#include <QWidget>

class QKeyEvent;
class QLabel;
class QLineEdit;
class TListView;

class TListFilterBar : public QWidget {
    Q_OBJECT
public:
    explicit TListFilterBar(TListView* List, QWidget* Parent = nullptr);

    QLineEdit* Field() const { return FField; }
    // How many rows are shown of how many, in words.
    QLabel* CountLabel() const { return FCount; }

    // Shows the bar with the focus in its field, Text added to what is there.
    void Open(const QString& Text = QString());
    // Empties the field, so that every row shows, hides the bar and gives the
    // focus back to the list.
    void Close();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    bool ListKey(const QKeyEvent* Event);
    bool FieldKey(const QKeyEvent* Event);
    void UpdateCount();

    QPointer<TListView> FList;
    QLineEdit* FField;
    QLabel* FCount;
};
