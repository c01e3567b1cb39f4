// The stored file of a large job, written as the job arrives.
#ifndef JOBFILE_H
#define JOBFILE_H

#include <QFile>

// Until the job has been delivered the file has a name of its own beside its
// final one. It is a child of the connection, so that a connection that ends
// without delivering its job (dropped, or the service stopping) takes the
// partial file with it.
class JobFile : public QFile
{
public:
    JobFile(const QString &jobspath, QObject *connection);
    ~JobFile() override;

    // A new job's name: a braced UUID.
    static QString newName();
    // Where a job of that name is stored.
    static QString path(const QString &jobspath, const QString &name);

    // Opens the partial file, unbuffered: every piece goes to it at once.
    bool create();
    // Gives the complete file its final name.
    bool keep();

    const QString name;
    const QString finalPath;

private:
    bool created = false;
    bool kept = false;
};

#endif // JOBFILE_H
