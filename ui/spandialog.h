#pragma once

#include <QDateTime>
#include <QDialog>

class QDateTimeEdit;
class QDialogButtonBox;

// A small dialog for a custom span of time: a start and an end, each with
// date and time, the end never before the start.
class SpanDialog : public QDialog
{
    Q_OBJECT
public:
    SpanDialog(const QDateTime &start, const QDateTime &end, QWidget *parent = nullptr);

    QDateTime start() const;
    QDateTime end() const;
    void setSpan(const QDateTime &start, const QDateTime &end);

private:
    QDateTimeEdit *m_start;
    QDateTimeEdit *m_end;
    QDialogButtonBox *m_buttons;
};
