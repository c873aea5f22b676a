// The firmware directory's version.txt, any bytes: the update processor
// reads its first line as the version and picks the images beside it.

#include "fuzz/FuzzSupport.h"

#include "base/Clock.h"
#include "gui/FWUpdateProcessor.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

struct Setting
{
    Setting()
    {
        static int argc = 1;
        static char name[] = "version_file_fuzz";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
        processor = std::make_unique<FwLoaderGui::FWUpdateProcessor>(fuzz::instrument(), Clock::system());
        dir = fuzz::scratch() / "firmware";
        std::filesystem::create_directories(dir);
        const uint8_t image[] = {'S', '0'};
        fuzz::writeFile(dir / "pravel.srec", image, sizeof image);
        fuzz::writeFile(dir / "download.bit", image, sizeof image);
    }
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<FwLoaderGui::FWUpdateProcessor> processor;
    std::filesystem::path dir;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setting setting;
    fuzz::writeFile(setting.dir / "version.txt", data, size);
    // The directory is read when it changes.
    setting.processor->setFirmwareDir(QUrl());
    setting.processor->setFirmwareDir(QUrl::fromLocalFile(QString::fromStdString(setting.dir.string())));
    if (setting.processor->firmwareVersion().isEmpty())
        std::abort(); // "Unknown" at the least
    return 0;
}
