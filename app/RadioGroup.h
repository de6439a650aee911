#pragma once
// A captioned group box holding a column (or several) of radio buttons, one of which is chosen.
// The chosen item is ItemIndex (-1: none). Every change of the choice, by a click or by
// SetItemIndex, runs OnClick once; choosing the item that is already chosen runs nothing.

#include <QGroupBox>
#include <QStringList>

#include <functional>
#include <vector>

class QRadioButton;

namespace kivra {

class TRadioGroup : public QGroupBox {
    Q_OBJECT
    // Settable from Designer forms (use stdset="0" on these properties in the .ui file).
    Q_PROPERTY(QStringList items READ Items WRITE SetItems)
    Q_PROPERTY(int columns READ Columns WRITE SetColumns)
    Q_PROPERTY(int itemIndex READ ItemIndex WRITE SetItemIndex)
    Q_PROPERTY(bool itemsBold READ ItemsBold WRITE SetItemsBold)

public:
    explicit TRadioGroup(QWidget* parent = nullptr);
    TRadioGroup(const QString& caption, QWidget* parent = nullptr);

    QStringList Items() const { return Items_; }
    //! Replaces the buttons; the choice becomes none.
    void SetItems(const QStringList& items);
    int Columns() const { return Columns_; }
    void SetColumns(int columns);
    int ItemIndex() const { return ItemIndex_; }
    //! Chooses item i (-1 or out of range: none) and runs OnClick when the choice changed.
    void SetItemIndex(int i);
    bool ItemsBold() const { return ItemsBold_; }
    //! Item captions bold or normal, independent of the caption's font.
    void SetItemsBold(bool bold);

    int Count() const { return static_cast<int>(Buttons_.size()); }
    QRadioButton* Button(int i) const;

    const std::function<void()>& GetOnClick() const { return OnClick_; }
    void SetOnClick(std::function<void()> handler) { OnClick_ = std::move(handler); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ButtonToggled(int i, bool checked);
    void ArrangeButtons();
    void ApplyItemFont();
    void Changed();

    QStringList Items_;
    std::vector<QRadioButton*> Buttons_;
    int Columns_ = 1;
    int ItemIndex_ = -1;
    bool ItemsBold_ = false;
    bool Updating_ = false;
    std::function<void()> OnClick_;
};

} // namespace kivra
