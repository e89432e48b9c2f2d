#include "ui/spandialog.h"

#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>

namespace {

QDateTimeEdit *makeEdit(const QDateTime &value, const char *name, QWidget *parent)
{
    auto *edit = new QDateTimeEdit(value, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    edit->setCalendarPopup(true);
    return edit;
}

} // namespace

SpanDialog::SpanDialog(const QDateTime &start, const QDateTime &end, QWidget *parent)
    : QDialog(parent)
    , m_start(makeEdit(start, "spanStart", this))
    , m_end(makeEdit(end, "spanEnd", this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
{
    setWindowTitle(tr("自定义时间段"));
    auto *layout = new QFormLayout(this);
    layout->addRow(tr("开始时间:"), m_start);
    layout->addRow(tr("结束时间:"), m_end);
    layout->addRow(m_buttons);
    m_buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    m_buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // An end before the start selects nothing; the dialog does not offer it.
    const auto check = [this] { m_buttons->button(QDialogButtonBox::Ok)->setEnabled(m_start->dateTime() <= m_end->dateTime()); };
    connect(m_start, &QDateTimeEdit::dateTimeChanged, this, check);
    connect(m_end, &QDateTimeEdit::dateTimeChanged, this, check);
}

QDateTime SpanDialog::start() const
{
    return m_start->dateTime();
}

QDateTime SpanDialog::end() const
{
    return m_end->dateTime();
}

void SpanDialog::setSpan(const QDateTime &start, const QDateTime &end)
{
    m_start->setDateTime(start);
    m_end->setDateTime(end);
}
