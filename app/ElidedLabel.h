// A one-line label that never asks for more width than it gets: a text too long
// for it is shown cut short with an ellipsis, and the whole text is then its
// tooltip. The status line uses it, so that a long message cannot widen the
// window for good.
#pragma once

#include <QLabel>
#include <QString>

class ElidedLabel : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ElidedLabel)

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // Sets the text as QLabel::setText does and refreshes the tooltip; call it
    // through this class, not through QLabel.
    void setText(const QString& text);
    // Whether the text is cut short at the label's present width.
    bool isElided() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();
};
