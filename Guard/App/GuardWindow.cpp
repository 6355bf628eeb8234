// The status view's layout and how it shows a state. The actions live in
// GuardWindowActions.cpp, the application around it in GuardWindowApp.cpp.
#include "Guard/App/GuardWindow.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace vorsel {

namespace {

constexpr int kPadding = 24;
constexpr int kSpacing = 18;
constexpr int kIconSize = 56;
constexpr int kDotSize = 9;
// Body, title and footnote sizes of the platform this layout was drawn for.
constexpr double kTitleScale = 17.0 / 13.0;
constexpr double kFootnoteScale = 10.0 / 13.0;

const QColor kGreen(0x34, 0xC7, 0x59);
const QColor kOrange(0xE6, 0x7A, 0x00);

// The dimmed text colour: the window text at half strength.
QColor secondary(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.5f);
    return color;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel* wrapping(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

// A filled circle; its colour says whether Vorsel is on.
class StatusDot final : public QWidget {
  public:
    explicit StatusDot(QWidget* parent) : QWidget(parent) {
        setFixedSize(kDotSize, kDotSize);
        setAttribute(Qt::WA_TranslucentBackground);
    }
    void setColor(const QColor& color) {
        fill = color;
        QWidget::update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(QRectF(rect()));
    }

  private:
    QColor fill;
};

}  // namespace

QString GuardStatusView::sentence(GuardInstall::State state) {
    switch (state) {
        case GuardInstall::State::on:
            return QStringLiteral("Vorsel is on. It only runs while a session needs it.");
        case GuardInstall::State::off:
            return QStringLiteral("Vorsel is off.");
        case GuardInstall::State::needsApproval:
            return QStringLiteral(
                "Waiting for you to allow it in System Settings, General, Login Items & "
                "Extensions.");
        case GuardInstall::State::misplaced:
            return QStringLiteral("Move this app to the /opt folder, then open it again.");
    }
    return {};
}

GuardStatusView::GuardStatusView(GuardViewPorts ports, std::optional<GuardInstall::State> fixed,
                                 QWidget* parent)
    : QWidget(parent), ports(ports), fixed(fixed), found(ports.install.state()) {
    setWindowTitle(tr("Vorsel"));
    build();
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) refresh();
            });
    redraw();
}

void GuardStatusView::build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    column->setSpacing(kSpacing);
    // The window's size is set from the content's height for our width.
    column->setSizeConstraint(QLayout::SetNoConstraint);

    column->addLayout(buildHeader());
    column->addWidget(wrapping(
        tr("With this on, the apps you block are really quit during a session instead of being "
           "covered, and a Hardcore session opens Ordwyn again if it is quit. It takes its rules "
           "from the Ordwyn app only, and does nothing when no session is running."),
        this));
    column->addLayout(buildStatusRow());

    noticeLine = wrapping({}, this);
    noticeLine->setObjectName(QStringLiteral("notice"));
    setTextColor(noticeLine, kOrange);
    column->addWidget(noticeLine);

    buildFooter(*column);
    bindReturnKeys();
}

QLayout* GuardStatusView::buildHeader() {
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setFixedSize(kIconSize, kIconSize);
    const QIcon appIcon = QGuiApplication::windowIcon();
    if (!appIcon.isNull()) {
        icon->setPixmap(appIcon.pixmap(QSize(kIconSize, kIconSize), devicePixelRatioF()));
    }
    header->addWidget(icon, 0, Qt::AlignVCenter);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    auto* title = new QLabel(tr("Vorsel"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * kTitleScale);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    auto* subtitle = new QLabel(tr("For Ordwyn on Linux"), this);
    setTextColor(subtitle, secondary(palette()));
    // Centred as a pair beside the icon, 3 apart, not spread over its height.
    titles->addStretch();
    titles->addWidget(title);
    titles->addWidget(subtitle);
    titles->addStretch();
    header->addLayout(titles);
    header->addStretch();
    return header;
}

QLayout* GuardStatusView::buildStatusRow() {
    auto* status = new QHBoxLayout;
    status->setSpacing(10);
    dot = new StatusDot(this);
    dot->setObjectName(QStringLiteral("dot"));
    status->addWidget(dot, 0, Qt::AlignVCenter);
    sentenceLabel = wrapping({}, this);
    sentenceLabel->setObjectName(QStringLiteral("sentence"));
    // The sentence takes all the room the button leaves, so it only wraps
    // when it must; the spacer keeps the default gap before the button.
    QSizePolicy takesRoom(QSizePolicy::Expanding, QSizePolicy::Preferred);
    takesRoom.setHeightForWidth(true);
    sentenceLabel->setSizePolicy(takesRoom);
    status->addWidget(sentenceLabel, 1, Qt::AlignVCenter);
    status->addSpacerItem(new QSpacerItem(8, 0, QSizePolicy::Minimum, QSizePolicy::Minimum));
    button = new QPushButton(this);
    button->setObjectName(QStringLiteral("button"));
    status->addWidget(button, 0, Qt::AlignVCenter);
    connect(button, &QPushButton::clicked, this, &GuardStatusView::press);
    return status;
}

void GuardStatusView::buildFooter(QVBoxLayout& column) {
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    column.addWidget(divider);

    auto* footer =
        wrapping(tr("To remove it, turn it off here, then move this app to the Trash."), this);
    footer->setObjectName(QStringLiteral("footer"));
    QFont footnote = footer->font();
    footnote.setPointSizeF(footnote.pointSizeF() * kFootnoteScale);
    footer->setFont(footnote);
    setTextColor(footer, secondary(palette()));
    column.addWidget(footer);
}

void GuardStatusView::bindReturnKeys() {
    // A plain widget has no default button: Return reaches "Turn on" through
    // these shortcuts, which are only enabled while that is the button shown.
    returnKey = new QShortcut(QKeySequence(Qt::Key_Return), this);
    enterKey = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    for (QShortcut* key : {returnKey, enterKey}) {
        connect(key, &QShortcut::activated, button, &QPushButton::click);
    }
}

void GuardStatusView::redraw() {
    const GuardInstall::State state = shown();
    QColor dim = secondary(palette());
    dim.setAlphaF(dim.alphaF() * 0.5f);
    static_cast<StatusDot*>(dot)->setColor(state == GuardInstall::State::on ? kGreen : dim);
    sentenceLabel->setText(sentence(state));

    switch (state) {
        case GuardInstall::State::on:
            button->setText(tr("Turn off"));
            break;
        case GuardInstall::State::off:
            button->setText(tr("Turn on"));
            break;
        case GuardInstall::State::needsApproval:
            button->setText(tr("Open Login Items"));
            break;
        case GuardInstall::State::misplaced:
            break;
    }
    button->setVisible(state != GuardInstall::State::misplaced);
    const bool returnTurnsOn = state == GuardInstall::State::off;
    button->setDefault(returnTurnsOn);
    returnKey->setEnabled(returnTurnsOn);
    enterKey->setEnabled(returnTurnsOn);

    noticeLine->setText(notice.value_or(QString()));
    noticeLine->setVisible(notice.has_value());
    fitToContent();
}

void GuardStatusView::fitToContent() {
    QLayout* column = layout();
    column->invalidate();
    const int height =
        column->hasHeightForWidth() ? column->heightForWidth(kWidth) : column->sizeHint().height();
    setFixedSize(kWidth, height);
}

void GuardStatusView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        if (layout()) fitToContent();
    }
}

}  // namespace vorsel
