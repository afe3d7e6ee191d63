/* Which distribution package installed an executable: asked of the package
 * manager once per path and remembered until the program ends. The package
 * manager is run directly with the path as one argument, never through a
 * shell, so a path may hold any character. */
#ifndef VESK_PACKAGE_CACHE_H
#define VESK_PACKAGE_CACHE_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

class PackageCache {
 public:
  // The one cache of the program.
  static PackageCache &instance();

  // The package of a path ("" when none owns it). The text is the cache's
  // and stays valid until the program ends. Safe from any thread.
  const char *packageFile(const char *path);

  // How many times the package manager was run (for tests and tracing).
  unsigned long queries() const { return runs; }

  // Parses one answer line of `dpkg-query --search` for `path`: the first
  // package of a line "pkg[:arch][, pkg...]: PATH", without its
  // architecture; "" for any other line (diversions, other paths).
  static std::string parseDpkgLine(const std::string &line, const std::string &path);
  // `path` with the glob characters dpkg-query would expand escaped.
  static std::string dpkgPattern(const std::string &path);

  // Runs a program (argv[0] is its full path) with stdin and stderr on
  // /dev/null and returns what it printed (at most 64 KiB); "" when it
  // cannot be started. A program still running after ten seconds is killed.
  static std::string runCapture(const std::vector<std::string> &argv);

 private:
  PackageCache();
  std::string lookup(const std::string &path);

  std::mutex mutex;
  bool dpkgMissing;
  std::map<std::string, std::string> packages;
  unsigned long runs = 0;
};

#endif
