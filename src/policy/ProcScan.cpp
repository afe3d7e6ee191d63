#include "ProcScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool allDigits(const char *s) {
  if (!*s) return false;
  for (; *s; s++)
    if (*s < '0' || *s > '9') return false;
  return true;
}

std::string ProcScan::exePath(uint32_t pid) {
  char link[64], target[PATH_MAX + 1];
  snprintf(link, sizeof(link), "/proc/%u/exe", pid);
  ssize_t n = readlink(link, target, PATH_MAX);
  if (n <= 0) return "";
  std::string path(target, (size_t)n);
  static const char deleted[] = " (deleted)";
  const size_t dl = sizeof(deleted) - 1;
  if (path.size() > dl && path.compare(path.size() - dl, dl, deleted) == 0)
    path.resize(path.size() - dl);
  return path;
}

std::string ProcScan::cmdline(uint32_t pid, size_t limit) {
  char file[64];
  snprintf(file, sizeof(file), "/proc/%u/cmdline", pid);
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string out(limit, '\0');
  ssize_t n = read(fd, out.data(), limit);
  close(fd);
  if (n <= 0) return "";
  out.resize((size_t)n);
  while (!out.empty() && out.back() == '\0') out.pop_back();
  for (char &c : out)
    if (c == '\0') c = ' ';
  return out;
}

bool ProcScan::exists(uint32_t pid) {
  char dir[32];
  snprintf(dir, sizeof(dir), "/proc/%u", pid);
  struct stat st;
  return stat(dir, &st) == 0;
}

uint32_t ProcScan::socketInodeOfLink(const char *link) {
  if (strncmp(link, "socket:[", 8) != 0) return 0;
  char *end = nullptr;
  unsigned long v = strtoul(link + 8, &end, 10);
  if (end == link + 8 || *end != ']' || v > UINT32_MAX) return 0;
  return (uint32_t)v;
}

std::vector<uint32_t> ProcScan::socketInodes(uint32_t pid) {
  std::vector<uint32_t> inodes;
  char dirName[48];
  snprintf(dirName, sizeof(dirName), "/proc/%u/fd", pid);
  DIR *dir = opendir(dirName);
  if (!dir) return inodes;
  while (struct dirent *d = readdir(dir)) {
    if (!allDigits(d->d_name)) continue;
    char target[64];
    ssize_t n = readlinkat(dirfd(dir), d->d_name, target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (uint32_t inode = socketInodeOfLink(target)) inodes.push_back(inode);
  }
  closedir(dir);
  return inodes;
}

void ProcScan::scanAll(std::unordered_map<uint32_t, uint32_t> &inodeToPid,
                       std::unordered_map<uint32_t, std::vector<uint32_t>> *pidToInodes) {
  DIR *proc = opendir("/proc");
  if (!proc) return;
  while (struct dirent *d = readdir(proc)) {
    if (!allDigits(d->d_name)) continue;
    unsigned long pid = strtoul(d->d_name, nullptr, 10);
    if (pid == 0 || pid > UINT32_MAX) continue;
    std::vector<uint32_t> inodes = socketInodes((uint32_t)pid);
    for (uint32_t inode : inodes) inodeToPid[inode] = (uint32_t)pid;
    if (pidToInodes) (*pidToInodes)[(uint32_t)pid] = std::move(inodes);
  }
  closedir(proc);
}

std::string ProcScan::userName(uint32_t uid) {
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof(buf), &found) != 0 || !found) return "";
  return found->pw_name;
}

std::string ProcScan::groupName(uint32_t gid) {
  struct group gr, *found = nullptr;
  char buf[8192];
  if (getgrgid_r(gid, &gr, buf, sizeof(buf), &found) != 0 || !found) return "";
  return found->gr_name;
}
