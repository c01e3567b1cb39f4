// DNS-SD through Windows' own responder (dnsapi, Windows 10 and later). The
// functions are bound at run time: where they are missing the printer is
// not announced, with one line, and everything else works.
#include "advertiser.h"

#include "logger.h"

#include <QLibrary>
#include <QSysInfo>

#include <qt_windows.h>
#include <windns.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

// DNS_REQUEST_PENDING: the registration goes on in the background.
const DWORD RequestPending = 9506;

typedef PDNS_SERVICE_INSTANCE(WINAPI *ConstructInstance)(PCWSTR, PCWSTR, PIP4_ADDRESS, PIP6_ADDRESS, WORD, WORD,
                                                        WORD, DWORD, PCWSTR *, PCWSTR *);
typedef VOID(WINAPI *FreeInstance)(PDNS_SERVICE_INSTANCE);
typedef DWORD(WINAPI *Register)(PDNS_SERVICE_REGISTER_REQUEST, PDNS_SERVICE_CANCEL);

struct DnsApi
{
    ConstructInstance constructInstance = nullptr;
    FreeInstance freeInstance = nullptr;
    Register registerService = nullptr;
    Register deregisterService = nullptr;
    bool bound() const { return constructInstance && freeInstance && registerService && deregisterService; }
};

const DnsApi &dnsApi()
{
    static DnsApi api;
    static std::once_flag once;
    std::call_once(once, [] {
        QLibrary library(QStringLiteral("dnsapi"));
        api.constructInstance = reinterpret_cast<ConstructInstance>(library.resolve("DnsServiceConstructInstance"));
        api.freeInstance = reinterpret_cast<FreeInstance>(library.resolve("DnsServiceFreeInstance"));
        api.registerService = reinterpret_cast<Register>(library.resolve("DnsServiceRegister"));
        api.deregisterService = reinterpret_cast<Register>(library.resolve("DnsServiceDeRegister"));
    });
    return api;
}

void WINAPI registered(DWORD, PVOID, PDNS_SERVICE_INSTANCE instance)
{
    if (instance)
        dnsApi().freeInstance(instance);
}

} // namespace

struct Advertiser::Platform
{
    struct Record
    {
        PDNS_SERVICE_INSTANCE instance = nullptr;
        DNS_SERVICE_REGISTER_REQUEST request = {};
    };
    std::vector<Record> records;

    void clear()
    {
        for (Record &record : records) {
            dnsApi().deregisterService(&record.request, nullptr);
            dnsApi().freeInstance(record.instance);
        }
        records.clear();
    }
};

Advertiser::Advertiser(const QString &printer, Logger *logger, QObject *parent)
    : QObject(parent), platform(std::make_unique<Platform>()), printer(printer), logger(logger)
{
}

Advertiser::~Advertiser()
{
    platform->clear();
}

QString Advertiser::hostName()
{
    return QSysInfo::machineHostName();
}

void Advertiser::announce(const Service &wanted)
{
    service = wanted;
    if (!dnsApi().bound())
        return unavailable(QStringLiteral("this system has no DNS-SD responder (dnsapi)"));
    publish();
}

void Advertiser::publish()
{
    platform->clear();
    const std::wstring host = (hostName() + QStringLiteral(".local")).toStdWString();
    std::vector<std::wstring> keys, values;
    for (const auto &entry : qAsConst(service.txt)) {
        keys.push_back(entry.first.toStdWString());
        values.push_back(entry.second.toStdWString());
    }
    const auto add = [&](const QString &type, WORD port, bool withText) {
        const std::wstring instanceName = (service.name + QLatin1Char('.') + type + QStringLiteral(".local")).toStdWString();
        std::vector<PCWSTR> keyPointers, valuePointers;
        for (size_t i = 0; withText && i < keys.size(); ++i) {
            keyPointers.push_back(keys[i].c_str());
            valuePointers.push_back(values[i].c_str());
        }
        Platform::Record record;
        record.instance = dnsApi().constructInstance(instanceName.c_str(), host.c_str(), nullptr, nullptr, port, 0, 0,
                                                     DWORD(keyPointers.size()), keyPointers.data(),
                                                     valuePointers.data());
        if (!record.instance)
            return DWORD(ERROR_OUTOFMEMORY);
        record.request.Version = DNS_QUERY_REQUEST_VERSION1;
        record.request.pServiceInstance = record.instance;
        record.request.pRegisterCompletionCallback = registered;
        platform->records.push_back(record);
        return dnsApi().registerService(&platform->records.back().request, nullptr);
    };
    // The request of a record must stay where it is while registered.
    platform->records.reserve(2);
    DWORD status = add(QStringLiteral("_pdl-datastream._tcp"), service.port, true);
    if (status == RequestPending)
        status = add(QStringLiteral("_printer._tcp"), 0, false);
    if (status != RequestPending)
        unavailable(qt_error_string(int(status)));
}

void Advertiser::withdraw()
{
    platform->clear();
}

void Advertiser::groupStateChanged(int, const QString &)
{
}
