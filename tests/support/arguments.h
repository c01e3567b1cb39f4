// An argv for code that takes argc and argv, built from a list of
// arguments; the bytes live as long as the object, and argv ends with a null.
#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include <QByteArrayList>
#include <QStringList>

#include <vector>

class Arguments
{
public:
    explicit Arguments(const QStringList &list)
    {
        for (const QString &argument : list)
            bytes << argument.toLocal8Bit();
        for (QByteArray &b : bytes)
            pointers.push_back(b.data());
        pointers.push_back(nullptr);
    }
    // Copies point into their own bytes.
    Arguments(const Arguments &other) : Arguments(QStringList()) { *this = other; }
    Arguments &operator=(const Arguments &other)
    {
        bytes = other.bytes;
        pointers.clear();
        for (QByteArray &b : bytes)
            pointers.push_back(b.data());
        pointers.push_back(nullptr);
        return *this;
    }

    int argc() const { return int(pointers.size()) - 1; }
    char **argv() { return pointers.data(); }

private:
    QByteArrayList bytes;
    std::vector<char *> pointers;
};

#endif // ARGUMENTS_H
