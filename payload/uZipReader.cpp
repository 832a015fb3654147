#include "uZipReader.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <zlib.h>

namespace {

constexpr uint32_t SIG_LOCAL = 0x04034B50;
constexpr uint32_t SIG_CENTRAL = 0x02014B50;
constexpr uint32_t SIG_END = 0x06054B50;
constexpr uint32_t SIG_ZIP64_LOCATOR = 0x07064B50;
constexpr uint32_t SIG_DESCRIPTOR = 0x08074B50;
constexpr size_t END_SIZE = 22;
constexpr size_t CENTRAL_SIZE = 46;
constexpr size_t LOCAL_SIZE = 30;
constexpr uint16_t EXTRA_UNICODE_PATH = 0x7075;
constexpr uint16_t FLAG_ENCRYPTED = 0x0001;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008;
constexpr uint16_t FLAG_STRONG_ENCRYPTION = 0x0040;
constexpr uint16_t FLAG_UTF8 = 0x0800;
constexpr uint16_t FLAG_MASKED_HEADERS = 0x2000;

uint16_t Get16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

std::wstring Num(uint64_t v) {
    return std::to_wstring(v);
}

[[noreturn]] void Fail(const std::wstring& msg) {
    throw EZipError(msg);
}

// Reads through a window of the input, so that walking the central directory costs few reads.
class TWindowReader {
public:
    explicit TWindowReader(TZipInput& in) : FIn(in), FBuf(64 * 1024) {}
    const unsigned char* Get(uint64_t off, size_t n) {
        if (n > FBuf.size())
            FBuf.resize(n);
        if (off < FStart || off + n > FStart + FLen) {
            const uint64_t avail = FIn.Size() - off;
            FLen = size_t(std::min<uint64_t>(FBuf.size(), avail));
            if (FLen < n)
                Fail(L"unexpected end of archive");
            FIn.ReadAt(off, FBuf.data(), FLen);
            FStart = off;
        }
        return FBuf.data() + (off - FStart);
    }

private:
    TZipInput& FIn;
    std::vector<unsigned char> FBuf;
    uint64_t FStart = 0;
    size_t FLen = 0;
};

std::wstring DecodeName(std::string_view raw, uint16_t flags, std::string_view extra,
                        bool& invalidUtf8) {
    invalidUtf8 = false;
    // Info-ZIP Unicode Path: version 1, CRC-32 of the stored name, the name in UTF-8. Used only
    // while it still describes the stored name (an older tool may have renamed the entry).
    size_t pos = 0;
    while (pos + 4 <= extra.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(extra.data() + pos);
        const uint16_t id = Get16(p);
        const uint16_t len = Get16(p + 2);
        if (pos + 4 + len > extra.size())
            break;
        if (id == EXTRA_UNICODE_PATH && len >= 5 && p[4] == 1) {
            const uint32_t crc =
                uint32_t(crc32(0, reinterpret_cast<const Bytef*>(raw.data()), uInt(raw.size())));
            std::wstring name;
            if (Get32(p + 5) == crc &&
                DecodeUtf8(std::string_view(extra.data() + pos + 9, len - 5), name) &&
                !name.empty())
                return name;
        }
        pos += 4 + size_t(len);
    }
    if (flags & FLAG_UTF8) {
        std::wstring name;
        if (DecodeUtf8(raw, name))
            return name;
        invalidUtf8 = true;
        return DecodeCp437(raw);
    }
    return DecodeCp437(raw);
}

} // namespace

std::wstring EntryLabel(const TZipEntry& entry) {
    return L"entry \"" + PrintableName(entry.Name) + L"\"";
}

TZipSliceInput::TZipSliceInput(TZipInput& base, uint64_t offset, uint64_t size)
    : FBase(base), FOffset(offset), FSize(size) {
    if (offset > base.Size() || size > base.Size() - offset)
        Fail(L"archive lies outside the file");
}

void TZipSliceInput::ReadAt(uint64_t off, void* buf, size_t n) {
    if (off > FSize || n > FSize - off)
        Fail(L"unexpected end of archive");
    FBase.ReadAt(FOffset + off, buf, n);
}

void TZipMemoryInput::ReadAt(uint64_t off, void* buf, size_t n) {
    if (off > FSize || n > FSize - off)
        Fail(L"unexpected end of archive");
    if (n)
        std::memcpy(buf, FData + off, n);
}

TZipReader::TZipReader(TZipInput& input) : FInput(input) {
    ReadEndRecord();
    ReadCentralDirectory();
    CheckLocalHeaders();
    CheckOverlaps();
}

void TZipReader::ReadEndRecord() {
    const uint64_t size = FInput.Size();
    if (size < END_SIZE)
        Fail(L"not a ZIP archive (end of central directory not found)");
    // The end record is the last thing in the file, after at most 65,535 bytes of comment.
    const size_t tailLen = size_t(std::min<uint64_t>(size, END_SIZE + 0xFFFF));
    std::vector<unsigned char> tail(tailLen);
    const uint64_t tailStart = size - tailLen;
    FInput.ReadAt(tailStart, tail.data(), tailLen);

    std::wstring firstProblem;
    for (size_t p = tailLen - END_SIZE + 1; p-- > 0;) {
        const unsigned char* e = tail.data() + p;
        if (Get32(e) != SIG_END || p + END_SIZE + Get16(e + 20) != tailLen)
            continue;
        const uint64_t endPos = tailStart + p;
        const uint16_t disk = Get16(e + 4), cdDisk = Get16(e + 6);
        const uint16_t countHere = Get16(e + 8), count = Get16(e + 10);
        const uint32_t cdSize = Get32(e + 12), cdOffset = Get32(e + 16);
        std::wstring problem;
        const bool locator = p >= 20 && Get32(e - 20) == SIG_ZIP64_LOCATOR;
        if (locator || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
            problem = L"ZIP64 archives are not supported";
        else if (disk != 0 || cdDisk != 0 || countHere != count)
            problem = L"split (multi-volume) archives are not supported";
        else if (uint64_t(cdOffset) + cdSize != endPos)
            problem = L"central directory is not where the end record places it (offset " +
                      Num(cdOffset) + L", size " + Num(cdSize) + L")";
        if (problem.empty()) {
            FCdOffset = cdOffset;
            FCdSize = cdSize;
            FCount = count;
            return;
        }
        if (firstProblem.empty())
            firstProblem = problem;
    }
    Fail(firstProblem.empty() ? L"not a ZIP archive (end of central directory not found)"
                              : firstProblem);
}

void TZipReader::ReadCentralDirectory() {
    TWindowReader win(FInput);
    const uint64_t cdEnd = FCdOffset + FCdSize;
    uint64_t pos = FCdOffset;
    FEntries.reserve(FCount);
    for (uint32_t i = 0; i < FCount; ++i) {
        const std::wstring where = L"central directory entry " + Num(i + 1);
        if (cdEnd - pos < CENTRAL_SIZE)
            Fail(where + L" is cut short");
        const unsigned char* h = win.Get(pos, CENTRAL_SIZE);
        if (Get32(h) != SIG_CENTRAL)
            Fail(where + L" is damaged (bad signature)");
        TZipEntry e;
        e.Flags = Get16(h + 8);
        e.Method = Get16(h + 10);
        e.DosTime = Get16(h + 12);
        e.DosDate = Get16(h + 14);
        e.Crc = Get32(h + 16);
        e.CompressedSize = Get32(h + 20);
        e.Size = Get32(h + 24);
        const uint16_t nameLen = Get16(h + 28), extraLen = Get16(h + 30),
                       commentLen = Get16(h + 32), diskStart = Get16(h + 34);
        e.LocalOffset = Get32(h + 42);
        const uint64_t recLen = CENTRAL_SIZE + uint64_t(nameLen) + extraLen + commentLen;
        if (cdEnd - pos < recLen)
            Fail(where + L" is cut short");
        const unsigned char* rec = win.Get(pos, size_t(recLen));
        const std::string_view raw(reinterpret_cast<const char*>(rec + CENTRAL_SIZE), nameLen);
        const std::string_view extra(reinterpret_cast<const char*>(rec + CENTRAL_SIZE + nameLen),
                                     extraLen);
        bool badUtf8 = false;
        e.Name = DecodeName(raw, e.Flags, extra, badUtf8);
        e.RawName.assign(raw);
        pos += recLen;

        const std::wstring label = EntryLabel(e);
        if (badUtf8)
            Fail(label + L": name is marked UTF-8 but is not valid UTF-8");
        const std::wstring why = CleanEntryName(e.Name, e.Path);
        if (!why.empty())
            Fail(label + L": unsafe name refused (" + why + L")");
        if (e.Flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION | FLAG_MASKED_HEADERS))
            Fail(label + L" is encrypted, which is not supported");
        if (e.Method == 99)
            Fail(label + L" is encrypted (AES), which is not supported");
        if (e.Method != 0 && e.Method != 8)
            Fail(label + L" uses compression method " + Num(e.Method) +
                 L", which is not supported (only stored and deflate)");
        if (e.CompressedSize == 0xFFFFFFFF || e.Size == 0xFFFFFFFF || e.LocalOffset == 0xFFFFFFFF)
            Fail(label + L" needs ZIP64 records, which are not supported");
        if (diskStart != 0)
            Fail(label + L" lies on another volume; split archives are not supported");
        if (e.Method == 0 && e.CompressedSize != e.Size)
            Fail(label + L" is stored, but its two sizes differ");
        if (e.Path.IsFolder && e.Size != 0)
            Fail(label + L" is a folder but has data");
        FEntries.push_back(std::move(e));
    }
    if (pos != cdEnd)
        Fail(L"central directory holds " + Num(cdEnd - pos) + L" bytes after its last entry");
}

void TZipReader::CheckLocalHeaders() {
    TWindowReader win(FInput);
    for (TZipEntry& e : FEntries) {
        const std::wstring label = EntryLabel(e);
        if (e.LocalOffset > FCdOffset || FCdOffset - e.LocalOffset < LOCAL_SIZE)
            Fail(label + L" points outside the archive");
        const unsigned char* h = win.Get(e.LocalOffset, LOCAL_SIZE);
        if (Get32(h) != SIG_LOCAL)
            Fail(label + L": local header missing (bad signature)");
        const uint16_t flags = Get16(h + 6), method = Get16(h + 8);
        const uint32_t crc = Get32(h + 14), csize = Get32(h + 18), usize = Get32(h + 22);
        const uint16_t nameLen = Get16(h + 26), extraLen = Get16(h + 28);
        const std::wstring differs = L": local header disagrees with the central directory (";
        if (method != e.Method)
            Fail(label + differs + L"method)");
        if ((flags & (FLAG_ENCRYPTED | FLAG_DESCRIPTOR)) !=
            (e.Flags & (FLAG_ENCRYPTED | FLAG_DESCRIPTOR)))
            Fail(label + differs + L"flags)");
        // With a data descriptor the local fields may be left zero; otherwise they must agree.
        const bool descriptor = (e.Flags & FLAG_DESCRIPTOR) != 0;
        auto agrees = [&](uint32_t local, uint32_t central) {
            return local == central || (descriptor && local == 0);
        };
        if (!agrees(crc, e.Crc))
            Fail(label + differs + L"CRC-32)");
        if (!agrees(csize, e.CompressedSize) || !agrees(usize, e.Size))
            Fail(label + differs + L"size)");
        const uint64_t headerEnd = e.LocalOffset + LOCAL_SIZE + nameLen + extraLen;
        if (headerEnd > FCdOffset)
            Fail(label + L" points outside the archive");
        if (nameLen != e.RawName.size() || std::memcmp(win.Get(e.LocalOffset + LOCAL_SIZE, nameLen),
                                                       e.RawName.data(), nameLen) != 0)
            Fail(label + differs + L"name)");
        e.DataOffset = headerEnd;
        if (FCdOffset - e.DataOffset < e.CompressedSize)
            Fail(label + L" points outside the archive (its data runs past the central directory)");
        e.End = e.DataOffset + e.CompressedSize;
        if (descriptor) {
            unsigned char d[16] = {};
            const size_t avail = size_t(std::min<uint64_t>(16, FCdOffset - e.End));
            if (avail)
                FInput.ReadAt(e.End, d, avail);
            auto matches = [&](const unsigned char* q) {
                return Get32(q) == e.Crc && Get32(q + 4) == e.CompressedSize &&
                       Get32(q + 8) == e.Size;
            };
            if (avail >= 16 && Get32(d) == SIG_DESCRIPTOR && matches(d + 4))
                e.End += 16;
            else if (avail >= 12 && matches(d))
                e.End += 12;
            else
                Fail(label + L": data descriptor missing or disagrees with the central directory");
        }
    }
}

void TZipReader::CheckOverlaps() {
    std::vector<const TZipEntry*> order;
    order.reserve(FEntries.size());
    for (const TZipEntry& e : FEntries)
        order.push_back(&e);
    std::sort(order.begin(), order.end(), [](const TZipEntry* a, const TZipEntry* b) {
        return a->LocalOffset < b->LocalOffset;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        if (order[i - 1]->End > order[i]->LocalOffset)
            Fail(EntryLabel(*order[i - 1]) + L" and " + EntryLabel(*order[i]) +
                 L" overlap in the archive");
    }
}

namespace {

// Raised inside a thread whose entry is abandoned because another one failed.
struct TStopped {};

// The key under which two entries name the same file on a file system that ignores case.
std::wstring SameFileKey(const std::vector<std::wstring>& parts) {
    std::wstring key;
    for (const std::wstring& part : parts) {
        key += L'/';
        for (wchar_t c : part)
            key += wchar_t(std::towlower(std::wint_t(c)));
    }
    return key;
}

} // namespace

void TZipReader::ExtractEntry(const TZipEntry& e, TZipOutFile& out) {
    TStream s;
    Stream(e, out, s);
}

void TZipReader::Stream(const TZipEntry& e, TZipOutFile& out, TStream& s) {
    const std::wstring label = EntryLabel(e);
    // Two fixed buffers per thread: memory does not grow with the entries.
    s.In.resize(CHUNK);
    s.Out.resize(CHUNK);
    std::vector<unsigned char>& in = s.In;
    uint64_t inPos = e.DataOffset;
    uint64_t inLeft = e.CompressedSize;
    uint64_t written = 0;
    uLong crc = crc32(0, nullptr, 0);

    auto emit = [&](const unsigned char* p, size_t n) {
        if (n > e.Size - written)
            Fail(label + L" holds more data than declared (" + Num(e.Size) + L" bytes)");
        crc = crc32(crc, p, uInt(n));
        out.Write(p, n);
        written += n;
        if (s.Written)
            s.Written->fetch_add(n, std::memory_order_relaxed);
    };
    auto read = [&](size_t n) {
        if (s.Stop && s.Stop->load(std::memory_order_relaxed))
            throw TStopped();
        FInput.ReadAt(inPos, in.data(), n);
        inPos += n;
        inLeft -= n;
    };

    // Some writers store an empty file as "deflated" with no bytes at all.
    if (e.Method == 0 || (e.CompressedSize == 0 && e.Size == 0)) {
        while (inLeft > 0) {
            const size_t n = size_t(std::min<uint64_t>(in.size(), inLeft));
            read(n);
            emit(in.data(), n);
        }
    } else {
        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            Fail(L"zlib could not start inflating " + label);
        struct TEnd {
            z_stream* s;
            ~TEnd() { inflateEnd(s); }
        } end{&zs};
        std::vector<unsigned char>& buf = s.Out;
        int ret = Z_OK;
        while (ret != Z_STREAM_END) {
            if (zs.avail_in == 0 && inLeft > 0) {
                const size_t n = size_t(std::min<uint64_t>(in.size(), inLeft));
                read(n);
                zs.next_in = in.data();
                zs.avail_in = uInt(n);
            }
            zs.next_out = buf.data();
            zs.avail_out = uInt(buf.size());
            ret = inflate(&zs, Z_NO_FLUSH);
            const size_t produced = buf.size() - zs.avail_out;
            if (ret == Z_MEM_ERROR)
                Fail(L"out of memory while inflating " + label);
            if (ret == Z_BUF_ERROR)
                Fail(label + L": compressed data ends too early (truncated)");
            if (ret != Z_OK && ret != Z_STREAM_END)
                Fail(label + L": compressed data is damaged");
            if (produced)
                emit(buf.data(), produced);
        }
        const uint64_t unused = inLeft + zs.avail_in;
        if (unused)
            Fail(label + L": " + Num(unused) + L" bytes follow the end of its compressed data");
    }
    if (written != e.Size)
        Fail(label + L" is shorter than declared (" + Num(written) + L" of " + Num(e.Size) +
             L" bytes)");
    if (uint32_t(crc) != e.Crc)
        Fail(L"CRC error in " + label + L" (the data is damaged)");
}

void TZipReader::ExtractAll(TZipTarget& target, const TProgress& progress, unsigned workers) {
    // Folders first, so that the threads only create files.
    std::vector<std::vector<size_t>> tasks; // entries of one file, in their order
    std::unordered_map<std::wstring, size_t> taskOf;
    uint64_t total = 0;
    for (size_t i = 0; i < FEntries.size(); ++i) {
        const TZipEntry& e = FEntries[i];
        const auto& parts = e.Path.Parts;
        if (e.Path.IsFolder) {
            if (!parts.empty())
                target.MakeFolder(parts, parts.size());
            continue;
        }
        if (parts.size() > 1)
            target.MakeFolder(parts, parts.size() - 1);
        const auto [at, added] = taskOf.try_emplace(SameFileKey(parts), tasks.size());
        if (added)
            tasks.emplace_back();
        tasks[at->second].push_back(i);
        total += e.Size;
    }

    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    workers = unsigned(std::min<size_t>({workers, MAX_WORKERS, std::max<size_t>(tasks.size(), 1)}));

    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    std::mutex lock;
    std::condition_variable changed;
    unsigned running = 0;
    size_t failedTask = tasks.size(); // the earliest task that failed, and why
    std::exception_ptr failure;

    auto work = [&] {
        TStream s;
        s.Stop = &stop;
        s.Written = &written;
        for (size_t t; !stop.load() && (t = next.fetch_add(1)) < tasks.size();) {
            try {
                for (size_t i : tasks[t]) {
                    const TZipEntry& e = FEntries[i];
                    std::unique_ptr<TZipOutFile> out = target.CreateFile(e.Path.Parts);
                    try {
                        Stream(e, *out, s);
                        out->Close();
                    } catch (...) {
                        out->Discard();
                        throw;
                    }
                }
            } catch (const TStopped&) {
                break;
            } catch (...) {
                std::lock_guard<std::mutex> held(lock);
                if (t < failedTask) {
                    failedTask = t;
                    failure = std::current_exception();
                }
                stop = true;
                break;
            }
        }
        std::lock_guard<std::mutex> held(lock);
        --running;
        changed.notify_all();
    };

    std::vector<std::thread> threads;
    struct TJoin {
        std::vector<std::thread>& t;
        ~TJoin() {
            for (std::thread& th : t)
                th.join();
        }
    } join{threads};
    for (unsigned i = 0; i < workers; ++i) {
        std::lock_guard<std::mutex> held(lock);
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break; // as many threads as the system gives; none, and this one does the work
        }
        ++running;
    }
    if (threads.empty()) {
        ++running;
        work();
    }
    {
        std::unique_lock<std::mutex> held(lock);
        while (running > 0) {
            if (progress) {
                held.unlock();
                try {
                    progress(written.load(), total);
                } catch (...) {
                    stop = true; // the threads end at their next chunk before this unwinds
                    throw;
                }
                held.lock();
            }
            changed.wait_for(held, std::chrono::milliseconds(100), [&] { return running == 0; });
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    if (progress)
        progress(written.load(), total);
}
