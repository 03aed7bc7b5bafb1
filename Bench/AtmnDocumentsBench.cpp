#include <benchmark/benchmark.h>

#include <string>

#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnDocuments.h"

namespace {

// An entry that answers at once, so that what is measured is the document and its text: the
// string conversions, the XML tree and its serialisation, as on every event the sink sends.
class QuickEntry : public IAtmnEntry {
public:
    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID&, void** object) override {
        *object = nullptr;
        return kAtmnNotSupported;
    }
    uint32_t KRI_COM_CALL AddRef() override { return ++references_; }
    uint32_t KRI_COM_CALL Release() override { return --references_; }
    platform::HRESULT KRI_COM_CALL GetId(platform::BSTR* out) override {
        *out = platform::SysAllocString(u"{4C1D0F2A-0001-0002-0003-000000000042}");
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetName(platform::BSTR* out) override {
        *out = platform::SysAllocString(u"Morning News \u00DCbertragung");
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetSegment(int32_t* out) override {
        *out = 3;
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetStatus(int32_t* out) override {
        *out = kAtmnStatusRunning;
        return 0;
    }
    platform::HRESULT KRI_COM_CALL UnnamedEntryMethod() override { return kAtmnNotSupported; }
    platform::HRESULT KRI_COM_CALL GetOnAirTime(AtmnTime* out) override {
        *out = {12, 30, 15, 24};
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetDuration(AtmnTime* out) override {
        *out = {0, 3, 45, -1};
        return 0;
    }
    platform::HRESULT KRI_COM_CALL GetOnAirDate(AtmnDate* out) override {
        *out = {2024, 5, 1};
        return 0;
    }

private:
    uint32_t references_ = 1;
};

void BM_BuildEntryXmlFromComponent(benchmark::State& state) {
    QuickEntry entry;
    for (auto _ : state) {
        String xml = buildEntryXml(&entry);
        benchmark::DoNotOptimize(xml.c_str());
    }
}
BENCHMARK(BM_BuildEntryXmlFromComponent);

// The floor for any way of making that document: one copy of its finished text into a new String.
void BM_CopyEntryXmlText(benchmark::State& state) {
    QuickEntry entry;
    const String xml = buildEntryXml(&entry);
    for (auto _ : state) {
        String copy(xml.c_str());
        benchmark::DoNotOptimize(copy.c_str());
    }
}
BENCHMARK(BM_CopyEntryXmlText);

}  // namespace
