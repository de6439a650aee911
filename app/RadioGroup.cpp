#include "app/RadioGroup.h"

#include "core/Exception.h"

#include <QEvent>
#include <QFontMetrics>
#include <QRadioButton>

#include <exception>

namespace kivra {

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent)
{
}

TRadioGroup::TRadioGroup(const QString& caption, QWidget* parent) : QGroupBox(caption, parent)
{
}

void TRadioGroup::SetItems(const QStringList& items)
{
    for (QRadioButton* b : Buttons_)
        delete b;
    Buttons_.clear();
    Items_ = items;
    ItemIndex_ = -1;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        // Exclusivity is kept here, so that "no choice" stays possible.
        b->setAutoExclusive(false);
        connect(b, &QRadioButton::toggled, this, [this, i](bool checked) { ButtonToggled(i, checked); });
        Buttons_.push_back(b);
        b->show();
    }
    ApplyItemFont();
    ArrangeButtons();
}

void TRadioGroup::SetColumns(int columns)
{
    Columns_ = columns < 1 ? 1 : columns;
    ArrangeButtons();
}

QRadioButton* TRadioGroup::Button(int i) const
{
    return i >= 0 && i < Count() ? Buttons_[static_cast<std::size_t>(i)] : nullptr;
}

void TRadioGroup::SetItemIndex(int i)
{
    if (i < 0 || i >= Count())
        i = -1;
    if (i == ItemIndex_)
        return;
    Updating_ = true;
    for (int k = 0; k < Count(); ++k)
        Buttons_[static_cast<std::size_t>(k)]->setChecked(k == i);
    Updating_ = false;
    ItemIndex_ = i;
    Changed(); // a choice made by program runs the same action as a click; errors reach the caller
}

void TRadioGroup::SetItemsBold(bool bold)
{
    ItemsBold_ = bold;
    ApplyItemFont();
}

void TRadioGroup::ButtonToggled(int i, bool checked)
{
    if (Updating_)
        return;
    if (!checked) {
        // A click on the chosen button would clear it: keep the choice.
        if (i == ItemIndex_) {
            Updating_ = true;
            Buttons_[static_cast<std::size_t>(i)]->setChecked(true);
            Updating_ = false;
        }
        return;
    }
    Updating_ = true;
    for (int k = 0; k < Count(); ++k)
        if (k != i)
            Buttons_[static_cast<std::size_t>(k)]->setChecked(false);
    Updating_ = false;
    ItemIndex_ = i;
    // A user's click: nothing may unwind into the event loop.
    try {
        Changed();
    } catch (const std::exception& e) { // EAbort included: the central handler drops it
        HandleException(e);
    }
}

void TRadioGroup::Changed()
{
    if (OnClick_)
        OnClick_();
}

void TRadioGroup::ApplyItemFont()
{
    // The caption follows the group box's font; the items are normal or bold on their own.
    QFont f = font();
    f.setBold(ItemsBold_);
    for (QRadioButton* b : Buttons_)
        b->setFont(f);
}

void TRadioGroup::ArrangeButtons()
{
    if (Buttons_.empty())
        return;
    const int textHeight = QFontMetrics(font()).height();
    const int perColumn = (Count() + Columns_ - 1) / Columns_;
    const int buttonWidth = (width() - 10) / Columns_;
    const int space = height() - textHeight - 5;
    const int buttonHeight = space / perColumn;
    const int topMargin = textHeight + 1 + (space % perColumn) / 2;
    for (int i = 0; i < Count(); ++i) {
        QRadioButton* b = Buttons_[static_cast<std::size_t>(i)];
        b->setGeometry((i / perColumn) * buttonWidth + 8, (i % perColumn) * buttonHeight + topMargin,
                       buttonWidth, buttonHeight);
    }
}

void TRadioGroup::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    ArrangeButtons();
}

void TRadioGroup::changeEvent(QEvent* event)
{
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        ApplyItemFont();
        ArrangeButtons();
    }
}

} // namespace kivra
