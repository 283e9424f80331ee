// What the tests share: the programs and files named by the environment that
// cmake/stage-dotnet.sh sets, a scratch folder whose path holds a space, the
// sample pictures, and helpers to run the C host and compare files.
//   IMGWATERMARK_CLI          build/tools/imgwatermark (the C host)
//   IMGWATERMARK_MAKE_SAMPLE  build/tools/make_sample
//   IMGWATERMARK_TEST_DIR     scratch folder (emptied at the start)
//   IMGWATERMARK_NUPKG        the .nupkg under test
//   IMGWATERMARK_LINUX_SO     the Linux module that was packed
//   IMGWATERMARK_WINDOWS_DLL  the Windows module that was packed
using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using Xunit;

// The library keeps one error text per process: tests that read it must not
// run at the same time. The concurrency test makes its own parallel calls.
[assembly: CollectionBehavior(DisableTestParallelization = true)]

namespace ImgWatermarkPackageTests
{
    public sealed class Fixture
    {
        public string Cli { get; } = Setting("IMGWATERMARK_CLI");
        public string Nupkg { get; } = Setting("IMGWATERMARK_NUPKG");
        public string LinuxModule { get; } = Setting("IMGWATERMARK_LINUX_SO");
        public string WindowsModule { get; } = Setting("IMGWATERMARK_WINDOWS_DLL");
        /// <summary>The scratch folder; its name holds a space.</summary>
        public string Work { get; }
        /// <summary>make_sample's 640 x 400 photo (24-bit BMP) and 160 x 160 logo (32-bit TGA).</summary>
        public string Photo { get; }
        public string Logo { get; }

        public Fixture()
        {
            Work = Path.Combine(Path.GetFullPath(Setting("IMGWATERMARK_TEST_DIR")), "dotnet work");
            if (Directory.Exists(Work)) Directory.Delete(Work, true);
            Directory.CreateDirectory(Work);
            Photo = Path.Combine(Work, "photo in.bmp");
            Logo = Path.Combine(Work, "logo in.tga");
            Run(Setting("IMGWATERMARK_MAKE_SAMPLE"), Photo, Logo);
        }

        static string Setting(string name)
        {
            string value = Environment.GetEnvironmentVariable(name);
            if (string.IsNullOrEmpty(value))
                throw new InvalidOperationException(name + " is not set (cmake/stage-dotnet.sh sets it)");
            return value;
        }

        /// <summary>A new empty folder under the scratch folder.</summary>
        public string NewDir(string name)
        {
            string dir = Path.Combine(Work, name);
            if (Directory.Exists(dir)) Directory.Delete(dir, true);
            Directory.CreateDirectory(dir);
            return dir;
        }

        /// <summary>Runs program with args passed one by one (no shell quoting); fails on a
        /// non-zero exit status.</summary>
        public static string Run(string program, params string[] args)
        {
            var info = new ProcessStartInfo(program) { UseShellExecute = false, RedirectStandardOutput = true,
                RedirectStandardError = true };
            foreach (string a in args) info.ArgumentList.Add(a);
            using var p = Process.Start(info);
            var stderr = p.StandardError.ReadToEndAsync();
            string stdout = p.StandardOutput.ReadToEnd();
            p.WaitForExit();
            if (p.ExitCode != 0)
                throw new Exception(program + " " + string.Join(" ", args) + ": exit status " + p.ExitCode + ": " +
                                    stderr.Result);
            return stdout;
        }

        /// <summary>Runs the C host: imgwatermark args...</summary>
        public string RunCli(params string[] args) => Run(Cli, args);

        public static void AssertSameFile(string expected, string actual)
        {
            byte[] a = File.ReadAllBytes(expected), b = File.ReadAllBytes(actual);
            Assert.True(a.Length > 0, expected + " is empty");
            Assert.True(a.SequenceEqual(b), actual + " differs from " + expected);
        }
    }

    [CollectionDefinition("library")]
    public sealed class LibraryCollection : ICollectionFixture<Fixture> { }
}
