#include <benchmark/benchmark.h>

#include "LibraryInterfaces/DomParse.h"
#include "LibraryInterfaces/String.h"

namespace {

// An entry document the size the service sends on every event.
String entryXml(int n) {
    CXMLDoc doc;
    CElementNode entry = doc.CreateRootElement("Entry");
    entry.AddAttribute("id", String(n));
    entry.AddAttribute("name", "Morning News");
    entry.AddAttribute("status", "Running");
    CElementNode segment = entry.AppendChild(CElementNode("Segment"));
    segment.AddAttribute("id", String(3));
    CElementNode onAir = segment.AppendChild(CElementNode("OnAir"));
    CElementNode date = onAir.AppendChild(CElementNode("Date"));
    date.AddAttribute("year", String(2024));
    date.AddAttribute("month", String(5));
    date.AddAttribute("day", String(1));
    for (const char* name : {"Time", "Duration"}) {
        CElementNode time = onAir.AppendChild(CElementNode(name));
        time.AddAttribute("hh", String(12));
        time.AddAttribute("mm", String(30));
        time.AddAttribute("ss", String(15));
        time.AddAttribute("ff", String(-1));
    }
    CElementNode trigger = entry.AppendChild(CElementNode("YuTrigger"));
    trigger.AddAttribute("active", "true");
    trigger.AddAttribute("sent", "false");
    return entry.GetXml();
}

void BM_BuildEntryDocument(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        String xml = entryXml(++n);
        benchmark::DoNotOptimize(xml.c_str());
    }
}
BENCHMARK(BM_BuildEntryDocument);

// Wrapping an action in its transaction: parse the action text, move it under a new root, write.
void BM_WrapActionInTransaction(benchmark::State& state) {
    CXMLDoc actionDoc;
    CElementNode action = actionDoc.CreateRootElement("Action");
    action.AddAttribute("name", "UpdateEntry");
    CElementNode param =
        action.AppendChild(CElementNode("Params")).AppendChild(CElementNode("Param"));
    param.AddAttribute("id", "E1");
    param.AddAttribute("name", "Entry");
    param.AppendChild(CCDATASection(entryXml(1)));
    String actionText = action.GetXml();
    for (auto _ : state) {
        CMemXMLSrc source;
        source.SetMemPtr(actionText);
        CXMLDoc parsed;
        parsed.Parse(source);
        CXMLDoc transact;
        CElementNode root = transact.CreateRootElement("Kri_Transact");
        root.AddAttribute("session", String(7UL));
        root.AppendChild(parsed.GetRootElement());
        String text = root.GetXml();
        benchmark::DoNotOptimize(text.c_str());
    }
}
BENCHMARK(BM_WrapActionInTransaction);

}  // namespace
