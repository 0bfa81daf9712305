#include "SimUpgrade.h"

#include <algorithm>
#include <fstream>
#include <numeric>

namespace sim::tessaline {

namespace {

constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kSetReplyFlags = 0xC0;
constexpr uint8_t kIndexFlag = 0x20;
constexpr uint8_t kMoreFollow = 0x80;
constexpr size_t kMaxDataPiece = 26;
// Polls of 10 ms without a new probe after which the host counts as in step (it probes again
// right after synchronising, to learn the module's address).
constexpr int kQuietPolls = 20;

uint32_t sBigEndian32(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

void sPut32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

bool sWriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

void SimMemory::Write(uint32_t address, const uint8_t* bytes, size_t length) {
    for (size_t done = 0; done < length;) {
        const uint32_t at = uint32_t(address + done);
        const uint32_t offset = at % kPageSize;
        const size_t count = std::min<size_t>(length - done, kPageSize - offset);
        auto [page, added] = pages_.try_emplace(at / kPageSize);
        if (added) page->second.bytes.fill(0xFF);
        std::copy_n(bytes + done, count, page->second.bytes.begin() + offset);
        for (size_t i = 0; i < count; ++i) page->second.written.set(offset + i);
        done += count;
    }
}

std::map<uint32_t, uint8_t> SimMemory::Bytes() const {
    std::map<uint32_t, uint8_t> bytes;
    for (const auto& [number, page] : pages_)
        for (uint32_t i = 0; i < kPageSize; ++i)
            if (page.written.test(i)) bytes[number * kPageSize + i] = page.bytes[i];
    return bytes;
}

std::vector<uint8_t> SimMemory::Read(uint32_t address, size_t length) const {
    std::vector<uint8_t> bytes(length, 0xFF);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t at = uint32_t(address + i);
        auto page = pages_.find(at / kPageSize);
        if (page != pages_.end() && page->second.written.test(at % kPageSize))
            bytes[i] = page->second.bytes[at % kPageSize];
    }
    return bytes;
}

std::vector<uint8_t> SimMemory::Image() const {
    uint32_t first = 0, last = 0;
    bool any = false;
    for (const auto& [number, page] : pages_) {
        for (uint32_t i = 0; i < kPageSize; ++i) {
            if (!page.written.test(i)) continue;
            if (!any) first = number * kPageSize + i;
            last = number * kPageSize + i;
            any = true;
        }
    }
    if (!any) return {};
    return Read(first, size_t(last - first) + 1);
}

std::shared_ptr<SimUpgrade> SimUpgrade::Install(SimModule& module, SimUpgradeConfig config) {
    std::shared_ptr<SimUpgrade> upgrade(new SimUpgrade(config));
    module.SetRequestHandler(kUpgradeCommand, [upgrade](SimModule& m, const SimPacket& packet) {
        upgrade->Handle(m, packet);
    });
    return upgrade;
}

std::shared_ptr<SimUpgrade> SimUpgrade::Install(SimDevice& device, SimUpgradeConfig config) {
    auto upgrade = Install(*device.module, config);
    if (config.byteArrayData) {
        SimClassInfo info;
        info.count = 1;
        info.options = {{kUpgradeDataOption, kSimAccessSet}};
        device.info->SetClass(kUpgradeCommand, info);
    }
    if (config.pooledPackets) {
        device.system->SetValue(kSysProtocolFeatures,
                                device.system->Value(kSysProtocolFeatures) | kPooledPacketsFeature);
    }
    return upgrade;
}

void SimUpgrade::SetRestartHandler(RestartHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onRestart_ = std::move(handler);
}

void SimUpgrade::SetLeavingHandler(LeavingHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onLeaving_ = std::move(handler);
}

void SimUpgrade::SetPrepareStatus(uint8_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.prepareStatus = status;
}

void SimUpgrade::SetBlockSize(uint16_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.blockSize = size;
}

void SimUpgrade::MiscountData(uint32_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    miscount_ = times;
}

void SimUpgrade::CorruptSums(uint32_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    corruptSums_ = times;
}

void SimUpgrade::CorruptLoaderSums(uint32_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    corruptLoaderSums_ = times;
}

void SimUpgrade::LoseReplies(uint8_t subCommand, uint32_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    lostReplies_[subCommand] = times;
}

bool SimUpgrade::TakeLostReply(uint8_t subCommand) {
    auto found = lostReplies_.find(subCommand);
    if (found == lostReplies_.end() || found->second == 0) return false;
    --found->second;
    return true;
}

void SimUpgrade::Accept(const uint8_t* bytes, size_t length) {
    piece_.insert(piece_.end(), bytes, bytes + length);
    // The running firmware places a loader block in memory as it arrives; the loader keeps
    // firmware pieces until WRITE commits them.
    if (!inLoader_) {
        loaderMemory_.Write(blockAddress_, bytes, length);
        blockAddress_ += uint32_t(length);
    }
}

void SimUpgrade::Handle(SimModule& module, const SimPacket& packet) {
    const std::vector<uint8_t>& in = packet.payload;
    if (in.size() < 2) return;
    if (in[1] == (kUpgradeDataOption | kSetFlag)) {
        HandleBytes(module, packet);
        return;
    }
    const uint8_t sub = in[1];
    std::vector<uint8_t> reply = {kUpgradeCommand};
    bool restart = false;
    SimUpgradeEvent event = SimUpgradeEvent::LoaderStarted;
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        subCommands_.push_back(sub);
        switch (sub) {
            case kUpgradeInit:
                reply.push_back(kUpgradeInit);
                sPut32(reply, config_.loadBase);
                break;
            case kUpgradePrepare:
                if (in.size() < 7) return;
                piece_.clear();
                blockAddress_ = sBigEndian32(&in[3]);
                reply.insert(reply.end(),
                             {kUpgradeStatus, config_.prepareStatus,
                              uint8_t(config_.blockSize >> 8), uint8_t(config_.blockSize)});
                break;
            case kUpgradeData: {
                const size_t count = in.size() - 2;
                dataSizes_.push_back(count);
                if (count == 0 || count > kMaxDataPiece) return;
                if (miscount_ > 0) {
                    --miscount_;
                    reply.insert(reply.end(), {kUpgradeData, uint8_t(count - 1)});
                } else {
                    Accept(&in[2], count);
                    reply.insert(reply.end(), {kUpgradeData, uint8_t(count)});
                }
                break;
            }
            case kUpgradeSum: {
                uint32_t sum = std::accumulate(piece_.begin(), piece_.end(), uint32_t(0));
                if (corruptSums_ > 0) {
                    --corruptSums_;
                    ++sum;
                } else if (inLoader_ && corruptLoaderSums_ > 0) {
                    --corruptLoaderSums_;
                    ++sum;
                }
                reply.insert(reply.end(), {kUpgradeStatus, 0});
                sPut32(reply, sum);
                break;
            }
            case kUpgradeWrite: {
                if (in.size() < 4) return;
                const uint16_t count = uint16_t((in[2] << 8) | in[3]);
                writeCounts_.push_back(count);
                uint8_t status = aErrNone;
                if (!inLoader_) {
                    status = aErrMode;
                } else if (count != piece_.size()) {
                    status = aErrSize;
                } else {
                    flash_.Write(blockAddress_, piece_.data(), piece_.size());
                    blockAddress_ += uint32_t(piece_.size());
                    piece_.clear();
                }
                reply.insert(reply.end(), {kUpgradeStatus, status});
                break;
            }
            case kUpgradeLoad:
                if (config_.answerLoad) reply.push_back(kUpgradeLoad);
                restart = config_.loadRestarts;
                event = SimUpgradeEvent::LoaderStarted;
                delay = config_.restartDelay;
                break;
            case kUpgradeReboot:
                restart = config_.rebootRestarts;
                event = SimUpgradeEvent::Rebooted;
                delay = config_.restartDelay;
                break;
            default:
                return;
        }
        if (TakeLostReply(sub)) reply.resize(1);
    }
    if (reply.size() > 1) module.Send(SimPacket{packet.address, reply});
    if (restart) {
        SimModule* target = &module;
        module.Schedule(
            delay, [self = shared_from_this(), target, event] { self->Restart(*target, event); });
    }
}

void SimUpgrade::HandleBytes(SimModule& module, const SimPacket& packet) {
    const std::vector<uint8_t>& in = packet.payload;
    // 5F, option | 0x80, index | 0x20, data..., trailer
    if (in.size() < 4) return;
    const uint8_t index = in[2] & 0x1F;
    const uint8_t trailer = in.back();
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if ((trailer & 0x7F) != nextSequence_) {
            nextSequence_ = 0;
            piece_.clear();
            reply = {kUpgradeCommand, uint8_t(kUpgradeDataOption | kSetReplyFlags),
                     uint8_t(index | 0x80), uint8_t(aErrPacket)};
        } else {
            Accept(in.data() + 3, in.size() - 4);
            nextSequence_ = uint8_t((nextSequence_ + 1) & 0x7F);
            if ((trailer & kMoreFollow) == 0) {
                nextSequence_ = 0;
                subCommands_.push_back(kUpgradeDataOption);
                if (!TakeLostReply(kUpgradeDataOption))
                    reply = {kUpgradeCommand, uint8_t(kUpgradeDataOption | kSetReplyFlags), index};
            }
        }
    }
    if (!reply.empty()) module.Send(SimPacket{packet.address, reply});
}

void SimUpgrade::Restart(SimModule& module, SimUpgradeEvent event) {
    LeavingHandler leaving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        leaving = onLeaving_;
    }
    if (leaving) leaving(event);
    module.Disconnect();
    announceBaseline_ = module.Stats().probesAnswered;
    RestartHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++restarts_;
        piece_.clear();
        nextSequence_ = 0;
        inLoader_ = event == SimUpgradeEvent::LoaderStarted;
        handler = onRestart_;
    }
    SimUpgradeConfig config;
    uint32_t firmwareSerial = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config = config_;
        firmwareSerial = firmwareSerial_;
    }
    module.UpdateConfig([&](SimModuleConfig& c) {
        if (event == SimUpgradeEvent::LoaderStarted && config.loaderSerialNumber != 0) {
            firmwareSerial = c.serialNumber;
            c.serialNumber = config.loaderSerialNumber;
        }
        if (event == SimUpgradeEvent::Rebooted) {
            // The firmware answers with the module's own serial number again.
            if (firmwareSerial != 0) c.serialNumber = firmwareSerial;
            firmwareSerial = 0;
            if (config.newFirmwareVersion != 0) c.firmwareVersion = config.newFirmwareVersion;
            if (config.newFirmwareBuild != 0) c.firmwareBuild = config.newFirmwareBuild;
        }
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firmwareSerial_ = firmwareSerial;
    }
    if (handler) handler(event);
    if (event == SimUpgradeEvent::LoaderStarted && config.loaderAnnounceDelay.count() > 0)
        AnnounceLoader(module, 1000, UINT64_MAX, 0);
}

void SimUpgrade::AnnounceLoader(SimModule& module, int pollsLeft, uint64_t probesSeen,
                                int quietPolls) {
    if (pollsLeft <= 0) return;
    // The host is in step once it has probed the module and gone quiet: a packet sent before
    // that could be taken for noise while the host synchronises.
    const uint64_t probes = module.Stats().probesAnswered;
    quietPolls = probes == probesSeen ? quietPolls + 1 : 0;
    bool announceWhenAttached;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        announceWhenAttached = config_.announceWhenAttached;
    }
    const bool hostInStep =
        module.IsAttached() &&
        (announceWhenAttached || (probes > announceBaseline_ && quietPolls >= kQuietPolls));
    SimModule* target = &module;
    if (!hostInStep) {
        module.Schedule(std::chrono::milliseconds(10),
                        [self = shared_from_this(), target, pollsLeft, probes, quietPolls] {
                            self->AnnounceLoader(*target, pollsLeft - 1, probes, quietPolls);
                        });
        return;
    }
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delay = config_.loaderAnnounceDelay;
    }
    module.Schedule(delay, [target] {
        const SimModuleConfig config = target->Config();
        target->Send(SimPacket{config.address, {kUpgradeCommand, kUpgradeLoad}});
    });
}

bool SimUpgrade::InLoader() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inLoader_;
}

std::map<uint32_t, uint8_t> SimUpgrade::Flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_.Bytes();
}

std::map<uint32_t, uint8_t> SimUpgrade::LoaderMemory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaderMemory_.Bytes();
}

std::vector<uint8_t> SimUpgrade::FlashBytes(uint32_t address, size_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_.Read(address, length);
}

std::vector<uint8_t> SimUpgrade::FlashImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_.Image();
}

std::vector<uint8_t> SimUpgrade::LoaderImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaderMemory_.Image();
}

bool SimUpgrade::WriteImages(const std::string& path) const {
    const bool flash = sWriteFile(path, FlashImage());
    const bool loader = sWriteFile(path + ".loader", LoaderImage());
    return flash && loader;
}

std::vector<uint8_t> SimUpgrade::SubCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subCommands_;
}

std::vector<size_t> SimUpgrade::DataSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataSizes_;
}

std::vector<uint16_t> SimUpgrade::WriteCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeCounts_;
}

uint32_t SimUpgrade::Restarts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarts_;
}

// --- Sub-modules on a router's bus -----------------------------------------------------------

struct SimSubModuleRestarts::Shared {
    std::mutex mutex;  // held around every change of the bus, so Close waits for one under way
    SimI2CRouter* bus = nullptr;  // null once closed
    std::chrono::milliseconds downtime;
};

SimSubModuleRestarts::SimSubModuleRestarts(SimI2CRouter& bus, std::chrono::milliseconds downtime)
    : shared_(std::make_shared<Shared>()) {
    shared_->bus = &bus;
    shared_->downtime = downtime;
}

SimSubModuleRestarts::~SimSubModuleRestarts() {
    Close();
}

void SimSubModuleRestarts::Close() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->bus = nullptr;
}

void SimSubModuleRestarts::Watch(SimUpgrade& upgrade, const std::shared_ptr<SimModule>& module,
                                 bool noReturn) {
    // The upgrade lives as long as the module's handler does: a strong reference to the module
    // here would keep both alive for ever.
    std::weak_ptr<SimModule> weak = module;
    const uint8_t address = module->Config().address;
    std::shared_ptr<Shared> shared = shared_;
    upgrade.SetLeavingHandler([shared, weak, address, noReturn](SimUpgradeEvent event) {
        std::shared_ptr<SimModule> sub = weak.lock();
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (!shared->bus || !sub) return;
        shared->bus->RemoveSubModule(address);
        if (noReturn && event == SimUpgradeEvent::LoaderStarted) return;
        sub->Schedule(shared->downtime, [shared, weak] {
            std::shared_ptr<SimModule> back = weak.lock();
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->bus && back) shared->bus->AddSubModule(back);
        });
    });
}

SimUpgradeConfig SubModuleUpgradeConfig(SimUpgradeConfig config) {
    if (!config.answerLoad && config.loaderAnnounceDelay.count() > 0)
        config.announceWhenAttached = true;
    return config;
}

}  // namespace sim::tessaline
