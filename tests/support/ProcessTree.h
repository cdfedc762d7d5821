#pragma once

// The processes a program started, as /proc tells: used by tests and benchmarks that check a
// program leaves nothing running behind it.
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <algorithm>

// The process and every process below it.
inline QList<qint64> processTree(qint64 root)
{
    QList<qint64> tree{root};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(tree[i]));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& child : children.readAll().split(' '))
                if (!child.trimmed().isEmpty())
                    tree.append(child.trimmed().toLongLong());
    }
    return tree;
}

inline bool anyAlive(const QList<qint64>& pids)
{
    return std::any_of(pids.begin(), pids.end(), [](qint64 pid) { return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)); });
}
