// The component as a container sees it: registration, creation by class id,
// Load/GetCurFile, one identity across its interfaces, and an element that
// refuses to start without a stream.
#include "castsource_testing.h"

#include "platform/com/comreg.h"

#include <gst/gst.h>

namespace {

using namespace castsourcetest;

using SourceTest = RegisteredSource;

TEST_F(SourceTest, RegistrationWritesTheExtensionAndClassKeysAndUnregistrationRemovesThem)
{
    const std::string id = "{EFD7EA8D-A55B-4D14-8612-3E97DFBB2023}";
    RegKey extension;
    ASSERT_EQ(extension.Open(RegRoot::ClassesRoot, "Media Type\\Extensions\\.qsl"),
              RegResult::Success);
    RegValue value;
    ASSERT_EQ(extension.QueryValue("Source Filter", value), RegResult::Success);
    EXPECT_EQ(value.type, REG_SZ);
    // The length without a terminating NUL.
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), id);

    std::string text;
    EXPECT_TRUE(comreg::ReadText("CLSID\\" + id, "", text));
    EXPECT_EQ(text, "Veltora Multicast Source");
    EXPECT_TRUE(comreg::ReadText("CLSID\\" + id + "\\InprocServer32", "", text));
    EXPECT_EQ(text, std::filesystem::canonical(QV_CASTSOURCE_PATH).string());
    RegKey cls;
    ASSERT_EQ(cls.Open(RegRoot::ClassesRoot, "CLSID\\" + id), RegResult::Success);
    ASSERT_EQ(cls.QueryValue("Merit", value), RegResult::Success);
    EXPECT_EQ(value, MakeDwordValue("Merit", 0x400000));

    ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
    EXPECT_EQ(extension.Open(RegRoot::ClassesRoot, "Media Type\\Extensions\\.qsl"),
              RegResult::NotFound);
    EXPECT_EQ(cls.Open(RegRoot::ClassesRoot, "CLSID\\" + id), RegResult::NotFound);
    ComPtr<IQvFileSourceFilter> gone;
    EXPECT_EQ(CoCreateInstance(CLSID_QvMulticastSource, gone), REGDB_E_CLASSNOTREG);
}

TEST_F(SourceTest, LoadMakesTheSourceReadyOnlyForQslNames)
{
    const struct
    {
        const char* name;
        bool ready;
    } cases[] = {
        {"/streams/news.QsL", true},
        {"/streams/news.qsl.txt", false},
        {"/streams/news", false},
        {"c:\\streams.qsl\\news", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IQvFileSourceFilter> source = MakeSource();
        ASSERT_TRUE(source);
        char16_t* name = nullptr;
        EXPECT_EQ(source->GetCurFile(&name, nullptr), E_FAIL);

        ASSERT_EQ(source->Load(Wide(c.name).c_str(), nullptr), S_OK);
        EXPECT_EQ(source->IsSourceReady(), c.ready);
        EXPECT_EQ(source->GetFilename(), c.name);
        EXPECT_EQ(source->Load(u"/other.qsl", nullptr), E_FAIL);

        ASSERT_EQ(source->GetCurFile(&name, nullptr), S_OK);
        EXPECT_EQ(std::u16string(name), Wide(c.name));
        CoTaskMemFree(name);
    }
}

// A COM object that counts its references, to see media types copied deeply.
class Counted final : public ComObject<IUnknown>
{
public:
    using ComObject::ComObject;
};

TEST_F(SourceTest, MediaTypesAreCopiedDeeplyAndNoTypeStoresAnEmptyOne)
{
    ComPtr<IUnknown> extra(new Counted(nullptr));
    std::uint8_t format[5] = {1, 2, 3, 4, 5};
    AM_MEDIA_TYPE given;
    given.majortype = MakeGuid("{E436EB83-524F-11CE-9F53-0020AF0BA770}");
    given.lSampleSize = 188;
    given.cbFormat = sizeof(format);
    given.pbFormat = format;
    given.pUnk = extra.Get();

    ComPtr<IQvFileSourceFilter> typed = MakeSource();
    ASSERT_EQ(typed->Load(u"/a.qsl", &given), S_OK);
    format[0] = 99; // the caller's block is its own
    given.lSampleSize = 0;
    AM_MEDIA_TYPE back;
    char16_t* name = nullptr;
    ASSERT_EQ(typed->GetCurFile(&name, &back), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(back.majortype, MakeGuid("{E436EB83-524F-11CE-9F53-0020AF0BA770}"));
    EXPECT_EQ(back.lSampleSize, 188u);
    ASSERT_EQ(back.cbFormat, 5u);
    EXPECT_NE(back.pbFormat, format);
    EXPECT_EQ(std::vector<std::uint8_t>(back.pbFormat, back.pbFormat + 5),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(back.pUnk, extra.Get());
    // Held by the caller, the stored copy and the copy handed back.
    extra->AddRef();
    EXPECT_EQ(extra->Release(), 3u);
    FreeMediaType(back);
    typed.Reset();
    extra->AddRef();
    EXPECT_EQ(extra->Release(), 1u);

    ComPtr<IQvFileSourceFilter> untyped = MakeSource();
    ASSERT_EQ(untyped->Load(u"/a.qsl", nullptr), S_OK);
    back.lSampleSize = 7;
    back.cbFormat = 9;
    ASSERT_EQ(untyped->GetCurFile(&name, &back), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(back.lSampleSize, 0u);
    EXPECT_EQ(back.cbFormat, 0u);
    EXPECT_EQ(back.pbFormat, nullptr);
    EXPECT_EQ(back.majortype, GUID_NULL);
}

TEST_F(SourceTest, EveryInterfaceSharesOneIdentityAndOneCount)
{
    ComPtr<IQvFileSourceFilter> source = MakeSource();
    ComPtr<IQvSourceElement> element = source.As<IQvSourceElement>();
    ASSERT_TRUE(element);
    ComPtr<IUnknown> fromSource = source.As<IUnknown>();
    ComPtr<IUnknown> fromElement = element.As<IUnknown>();
    EXPECT_EQ(fromSource, fromElement);
    EXPECT_EQ(element.As<IQvFileSourceFilter>(), source);
    // One count: a reference added through one interface shows through the other.
    const ULONG before = (source->AddRef(), source->Release());
    element->AddRef();
    EXPECT_EQ(source->AddRef(), before + 2);
    source->Release();
    element->Release();

    // Aggregated: every interface answers for the outer object.
    ComPtr<IUnknown> outer(new Counted(nullptr));
    ComPtr<IUnknown> inner;
    ASSERT_EQ(CoCreateInstance(CLSID_QvMulticastSource, outer.Get(), IID_IUnknown, inner.PutVoid()),
              S_OK);
    ComPtr<IQvFileSourceFilter> part = inner.As<IQvFileSourceFilter>();
    ASSERT_TRUE(part);
    EXPECT_EQ(part.As<IUnknown>(), outer);
    EXPECT_FALSE(part.As<IQvSourceElement>()); // the outer object has no such interface
}

TEST_F(SourceTest, AnElementWithoutAStreamRefusesToStartWithAClearError)
{
    const char* const names[] = {nullptr, "/streams/news.qsl.txt"};
    for (const char* name : names) {
        SCOPED_TRACE(name != nullptr ? name : "not loaded");
        ComPtr<IQvFileSourceFilter> source = MakeSource();
        if (name != nullptr) {
            ASSERT_EQ(source->Load(Wide(name).c_str(), nullptr), S_OK);
        }
        GstElement* element = source.As<IQvSourceElement>()->GetElement();
        GstElementFactory* factory = gst_element_get_factory(element);
        ASSERT_NE(factory, nullptr);
        EXPECT_STREQ(GST_OBJECT_NAME(factory), "castsource");
        DecodePipeline pipeline(element);
        EXPECT_EQ(pipeline.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        std::string error;
        EXPECT_EQ(pipeline.WaitForEnd(std::chrono::seconds(10), &error), GST_MESSAGE_ERROR);
        EXPECT_NE(error.find("no stream to read"), std::string::npos) << error;
    }
}

} // namespace
