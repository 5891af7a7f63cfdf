// The binary contract between a lights module and the platform's module loader,
// checked from the outside: the module is mapped through the loader, and its HMI
// record and a freshly opened device are read as raw bytes at fixed offsets, never
// through the C structs (whose layout is the thing under test). The library's
// dynamic symbol table must agree on the record's size.
//
// On the 32-bit target these are the binding offsets. Other builds keep the same
// field order with natural alignment, which gives the wide layout below.
#include <test_support/boards.h>
#include <test_support/elf_symbols.h>
#include <test_support/process.h>

#include <quorvel/lights.h>
#include <quorvel/module_loader.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct RecordLayout {
    std::size_t pointerSize;
    std::size_t infoSize, idAt, nameAt, authorAt, methodsAt, infoReservedAt;
    std::size_t deviceSize, moduleAt, deviceReservedAt, closeAt, setStateAt;
};

constexpr RecordLayout TARGET_LAYOUT{4, 128, 8, 12, 16, 20, 24, 68, 8, 12, 60, 64};
constexpr RecordLayout WIDE_LAYOUT{8, 144, 8, 16, 24, 32, 40, 80, 8, 16, 64, 72};
constexpr const RecordLayout& LAYOUT = sizeof(void*) == 4 ? TARGET_LAYOUT : WIDE_LAYOUT;

constexpr std::size_t INFO_RESERVED_BYTES = 104;
constexpr std::size_t DEVICE_RESERVED_BYTES = 48;
constexpr std::array<unsigned char, 4> MODULE_TAG_BYTES{0x54, 0x4D, 0x57, 0x48};
constexpr std::array<unsigned char, 4> DEVICE_TAG_BYTES{0x54, 0x44, 0x57, 0x48};

using quorvel::testing::LIGHT_NAMES;

// The path globals every module exports, and the one its board adds.
std::vector<std::string> pathGlobals(const quorvel::BoardInfo& board)
{
    return {"TRACKBALL_FILE", "RED_LED_FILE",  "GREEN_LED_FILE",  "BLUE_LED_FILE",  "AMBER_LED_FILE",
            "LCD_FILE",       "RED_FREQ_FILE", "RED_PWM_FILE",    "RED_BLINK_FILE", "AMBER_BLINK_FILE",
            "KEYBOARD_FILE",  "BUTTON_FILE",   board.board_export};
}

// A value of type T at byte `at`, however the record happens to be aligned.
template <typename T>
T readAs(const unsigned char* raw, std::size_t at)
{
    T value;
    std::memcpy(&value, raw + at, sizeof value);
    return value;
}

std::uintptr_t readPointer(const unsigned char* raw, std::size_t at)
{
    return LAYOUT.pointerSize == 4 ? readAs<std::uint32_t>(raw, at)
                                   : static_cast<std::uintptr_t>(readAs<std::uint64_t>(raw, at));
}

std::vector<std::size_t> nonZeroOffsets(const unsigned char* raw, std::size_t from, std::size_t count)
{
    std::vector<std::size_t> found;
    for (std::size_t i = from; i < from + count; ++i)
        if (raw[i] != 0)
            found.push_back(i);
    return found;
}

using OpenEntry = int (*)(const void* module, const char* name, void** device);
using CloseEntry = int (*)(void* device);
using SetStateEntry = int (*)(void* device, const LightState* state);

template <typename Function>
Function functionAt(const unsigned char* raw, std::size_t at)
{
    return reinterpret_cast<Function>(readPointer(raw, at));
}

// Leaves freed, non-zero blocks of the device's size on the heap, so that a device
// record that is not cleared shows stale bytes instead of zeros left by chance.
void dirtyTheHeap()
{
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        void* block = std::malloc(LAYOUT.deviceSize);
        std::memset(block, 0xA5, LAYOUT.deviceSize);
        blocks.push_back(block);
    }
    for (void* block : blocks)
        std::free(block);
}

class ModuleLayout : public ::testing::TestWithParam<quorvel::BoardInfo> {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_EQ(quorvel::loadModule(mPath, mModule, error), 0) << error;
        mRaw = reinterpret_cast<const unsigned char*>(mModule.info());
    }

    OpenEntry openEntry() const
    {
        const auto* methods = reinterpret_cast<const unsigned char*>(readPointer(mRaw, LAYOUT.methodsAt));
        return functionAt<OpenEntry>(methods, 0);
    }

    // Opens a device through the entry found at the raw offsets; fails the test if it
    // does not open.
    const unsigned char* openRaw(const char* lightName)
    {
        void* device = nullptr;
        const int status = openEntry()(mModule.info(), lightName, &device);
        EXPECT_EQ(status, 0) << lightName;
        EXPECT_NE(device, nullptr) << lightName;
        return static_cast<const unsigned char*>(device);
    }

    void closeRaw(const unsigned char* device)
    {
        auto* mutableDevice = const_cast<unsigned char*>(device);
        EXPECT_EQ(functionAt<CloseEntry>(device, LAYOUT.closeAt)(mutableDevice), 0);
    }

    struct ByBoard {
        int status;
        std::string error;
        std::string path; // the file the loader names for the board
        quorvel::ModuleHandle module;
    };
    // Loads this board by name with the module folder variable set to `value` (unset
    // when null); the variable is put back afterwards.
    ByBoard loadByBoard(const char* value) const
    {
        quorvel::testing::ScopedEnv variable(quorvel::MODULE_DIR_VARIABLE);
        variable.set(value);
        ByBoard loaded;
        loaded.status = quorvel::loadModuleForBoard(GetParam().name, loaded.module, loaded.error);
        loaded.path = quorvel::modulePathForBoard(GetParam().name);
        return loaded;
    }

    // The module's file and the folder it is in.
    const std::string mPath = GetParam().module_path;
    const std::string mFolder = mPath.substr(0, mPath.rfind('/'));
    quorvel::ModuleHandle mModule;
    const unsigned char* mRaw = nullptr;
};

TEST_P(ModuleLayout, ModuleRecordHasItsTagAndVersionAtTheStart)
{
    EXPECT_EQ(std::memcmp(mRaw, MODULE_TAG_BYTES.data(), MODULE_TAG_BYTES.size()), 0)
        << std::hex << "tag word 0x" << readAs<std::uint32_t>(mRaw, 0);
    EXPECT_EQ(readAs<std::uint16_t>(mRaw, 4), 1) << "version_major";
    EXPECT_EQ(readAs<std::uint16_t>(mRaw, 6), 0) << "version_minor";
}

TEST_P(ModuleLayout, ModuleRecordPointersLeadToItsTextsAndOpenEntry)
{
    const auto text = [this](std::size_t at) {
        const auto pointer = readPointer(mRaw, at);
        return pointer == 0 ? std::string("<null>") : std::string(reinterpret_cast<const char*>(pointer));
    };
    EXPECT_EQ(text(LAYOUT.idAt), "lights");
    EXPECT_EQ(text(LAYOUT.nameAt), GetParam().module_name);
    EXPECT_EQ(text(LAYOUT.authorAt), GetParam().module_author);
    ASSERT_NE(readPointer(mRaw, LAYOUT.methodsAt), 0u);
    EXPECT_NE(openEntry(), nullptr);
}

TEST_P(ModuleLayout, ModuleRecordEndsInZeroReservedWords)
{
    EXPECT_EQ(LAYOUT.infoReservedAt + INFO_RESERVED_BYTES, LAYOUT.infoSize);
    EXPECT_EQ(nonZeroOffsets(mRaw, LAYOUT.infoReservedAt, INFO_RESERVED_BYTES), std::vector<std::size_t>{});
}

TEST_P(ModuleLayout, FreshDeviceHasTagVersionModuleAndZeroReservedWords)
{
    dirtyTheHeap();
    const unsigned char* device = openRaw("backlight");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(std::memcmp(device, DEVICE_TAG_BYTES.data(), DEVICE_TAG_BYTES.size()), 0)
        << std::hex << "tag word 0x" << readAs<std::uint32_t>(device, 0);
    EXPECT_EQ(readAs<std::uint32_t>(device, 4), 0u) << "version";
    EXPECT_EQ(readPointer(device, LAYOUT.moduleAt), reinterpret_cast<std::uintptr_t>(mModule.info()));
    EXPECT_EQ(LAYOUT.deviceReservedAt + DEVICE_RESERVED_BYTES, LAYOUT.closeAt);
    EXPECT_EQ(nonZeroOffsets(device, LAYOUT.deviceReservedAt, DEVICE_RESERVED_BYTES), std::vector<std::size_t>{});
    closeRaw(device);
}

TEST_P(ModuleLayout, DeviceEntriesAreCloseThenAPerLightSetState)
{
    std::set<std::uintptr_t> closeEntries;
    std::set<std::uintptr_t> setStateEntries;
    for (const char* name : LIGHT_NAMES) {
        const unsigned char* device = openRaw(name);
        ASSERT_NE(device, nullptr);
        closeEntries.insert(readPointer(device, LAYOUT.closeAt));
        setStateEntries.insert(readPointer(device, LAYOUT.setStateAt));
        // A request without a record is refused before any attribute is touched,
        // which proves the word is a callable handler without writing to any LED.
        auto* mutableDevice = const_cast<unsigned char*>(device);
        EXPECT_EQ(functionAt<SetStateEntry>(device, LAYOUT.setStateAt)(mutableDevice, nullptr), -22) << name;
        closeRaw(device);
    }
    EXPECT_EQ(closeEntries.size(), 1u) << "every device closes through the same entry";
    EXPECT_EQ(setStateEntries.size(), std::size(LIGHT_NAMES)) << "each light has its own handler";
    EXPECT_EQ(closeEntries.count(*setStateEntries.begin()), 0u);
}

TEST_P(ModuleLayout, ModuleFoundByBoardNameIsTheSameRecord)
{
    ByBoard byBoard = loadByBoard(mFolder.c_str());
    ASSERT_EQ(byBoard.status, 0) << byBoard.error;
    EXPECT_EQ(byBoard.module.info(), mModule.info());
    EXPECT_EQ(byBoard.path, mFolder + "/lights." + std::string(GetParam().name) + ".so");
    // Unmapping a released module leaves it empty.
    quorvel::LoadedModule released = byBoard.module.release();
    quorvel::unloadModule(released);
    EXPECT_EQ(released.info, nullptr);
    EXPECT_EQ(released.library, nullptr);
}

// Every kind of value of the module folder variable: unset and empty give the
// compiled-in folder; any other value is used as it is, a relative one from the
// current folder; one too long for the system is a load error, not a crash.
TEST_P(ModuleLayout, ModuleFolderVariableAtItsEdges)
{
    const std::string parent = mFolder.substr(0, mFolder.rfind('/'));
    const std::string board = GetParam().name;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);

    const std::string fallback = std::string(quorvel::defaultModuleDirectory()) + "/lights." + board + ".so";
    EXPECT_EQ(loadByBoard(nullptr).path, fallback);
    EXPECT_EQ(loadByBoard("").path, fallback);
    EXPECT_EQ(loadByBoard("/").path, "/lights." + board + ".so");
    EXPECT_EQ(loadByBoard((mFolder + "/").c_str()).path, mPath) << "a trailing slash is not doubled";
    const ByBoard absolute = loadByBoard(mFolder.c_str());
    EXPECT_EQ(absolute.status, 0) << absolute.error;

    ASSERT_EQ(chdir(parent.c_str()), 0);
    const std::string relative = mFolder.substr(parent.size() + 1);
    const ByBoard fromHere = loadByBoard(relative.c_str());
    const ByBoard missing = loadByBoard("no-such-folder");
    const std::string tooLong(5000, 'd');
    const ByBoard overlong = loadByBoard(tooLong.c_str());
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(fromHere.status, 0) << fromHere.error;
    EXPECT_EQ(fromHere.path, relative + "/lights." + board + ".so");
    EXPECT_EQ(missing.status, -ENOENT);
    EXPECT_EQ(missing.error.rfind("cannot load no-such-folder/lights." + board + ".so: ", 0), 0u) << missing.error;
    EXPECT_EQ(overlong.status, -ENOENT);
    EXPECT_EQ(overlong.error.rfind("cannot load " + tooLong + "/lights." + board + ".so: ", 0), 0u);
}

class ModuleSymbols : public ::testing::TestWithParam<quorvel::BoardInfo> {
protected:
    void SetUp() override
    {
        std::string error;
        auto image = quorvel::elf::readFile(GetParam().module_path, &error);
        ASSERT_TRUE(image) << error;
        mImage = std::move(*image);
    }
    quorvel::elf::Image mImage;
};

TEST_P(ModuleSymbols, LibraryIsBuiltForThisTarget)
{
    EXPECT_EQ(mImage.elfClass, sizeof(void*) == 4 ? quorvel::elf::CLASS_32 : quorvel::elf::CLASS_64);
#if defined(__arm__)
    EXPECT_EQ(mImage.machine, quorvel::elf::MACHINE_ARM);
#elif defined(__x86_64__)
    EXPECT_EQ(mImage.machine, quorvel::elf::MACHINE_X86_64);
#endif
}

TEST_P(ModuleSymbols, ModuleRecordSymbolHasTheRecordSize)
{
    const quorvel::elf::Symbol* hmi = mImage.findDefined("HMI");
    ASSERT_NE(hmi, nullptr) << "HMI is not exported";
    EXPECT_EQ(hmi->size, LAYOUT.infoSize);
    EXPECT_EQ(hmi->type, quorvel::elf::TYPE_OBJECT);
    EXPECT_EQ(hmi->binding, quorvel::elf::BINDING_GLOBAL);
    EXPECT_EQ(hmi->visibility, 0u) << "HMI must be visible to the loader";
}

TEST_P(ModuleSymbols, InitialiserAndPathGlobalsAreExportedWithTheirSizes)
{
    const quorvel::elf::Symbol* init = mImage.findDefined("init_globals");
    ASSERT_NE(init, nullptr) << "init_globals is not exported";
    EXPECT_EQ(init->type, quorvel::elf::TYPE_FUNC);
    const std::vector<std::string> globals = pathGlobals(GetParam());
    for (const std::string& name : globals) {
        const quorvel::elf::Symbol* symbol = mImage.findDefined(name);
        ASSERT_NE(symbol, nullptr) << name << " is not exported";
        EXPECT_EQ(symbol->type, quorvel::elf::TYPE_OBJECT) << name;
        EXPECT_EQ(symbol->size, LAYOUT.pointerSize) << name;
    }
}

TEST_P(ModuleSymbols, ExportsNothingButTheRecordTheInitialiserAndThePathGlobals)
{
    std::set<std::string> exported;
    for (const quorvel::elf::Symbol& symbol : mImage.dynamicSymbols) {
        if (symbol.section == 0 || symbol.binding == 0 || symbol.name.empty())
            continue;
#ifdef QUORVEL_TEST_SANITIZED
        // Instrumented builds add their own bookkeeping symbols.
        if (symbol.name.starts_with("__odr_asan") || symbol.name.starts_with("__asan") ||
            symbol.name.starts_with("__ubsan") || symbol.name.starts_with("__tsan"))
            continue;
#endif
        exported.insert(symbol.name);
    }
    const std::vector<std::string> globals = pathGlobals(GetParam());
    std::set<std::string> expected(globals.begin(), globals.end());
    expected.insert({"HMI", "init_globals"});
    EXPECT_EQ(exported, expected);
}

TEST_P(ModuleSymbols, ImportsNothingFromTheCxxRuntime)
{
    for (const quorvel::elf::Symbol& symbol : mImage.dynamicSymbols) {
        if (symbol.section != 0 || symbol.name.empty())
            continue;
        EXPECT_FALSE(symbol.name.starts_with("_Z")) << symbol.name;
        // __cxa_finalize comes from the C library for every shared object.
        if (symbol.name != "__cxa_finalize") {
            EXPECT_FALSE(symbol.name.starts_with("__cxa")) << symbol.name;
        }
        EXPECT_FALSE(symbol.name.starts_with("__gxx")) << symbol.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, ModuleLayout, quorvel::testing::eachBoard(), quorvel::testing::boardParamName);
INSTANTIATE_TEST_SUITE_P(Boards, ModuleSymbols, quorvel::testing::eachBoard(), quorvel::testing::boardParamName);

} // namespace
