// The package as a file: its entries read back from the .nupkg (a zip), the
// native modules in it byte for byte the ones packed, its manifest, and that
// this test process runs the package's assembly and the module from the
// package's runtimes/linux-x64/native folder.
using System;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Xml.Linq;
using Velmora;
using Xunit;

namespace ImgWatermarkPackageTests
{
    [Collection("library")]
    public sealed class PackageTests
    {
        readonly Fixture f;

        public PackageTests(Fixture fixture) { f = fixture; }

        static byte[] Read(ZipArchive zip, string name)
        {
            var entry = zip.GetEntry(name);
            Assert.True(entry != null, "no " + name + " in the package");
            using var s = entry.Open();
            using var m = new MemoryStream();
            s.CopyTo(m);
            return m.ToArray();
        }

        [Fact]
        public void The_package_holds_exactly_the_expected_files()
        {
            using var zip = ZipFile.OpenRead(f.Nupkg);
            // NuGet's own packaging parts (_rels, [Content_Types].xml, the
            // core-properties file with its random name) are left aside.
            string[] files = zip.Entries.Select(e => e.FullName)
                .Where(n => !n.StartsWith("_rels/") && n != "[Content_Types].xml" && !n.StartsWith("package/"))
                .OrderBy(n => n, StringComparer.Ordinal).ToArray();
            Assert.Equal(new[]
            {
                "README.md",
                "THIRD-PARTY-NOTICES.txt",
                "Velmora.ImgWatermark.nuspec",
                "build/Velmora.ImgWatermark.targets",
                "buildTransitive/Velmora.ImgWatermark.targets",
                "lib/netstandard2.0/Velmora.ImgWatermark.dll",
                "lib/netstandard2.0/Velmora.ImgWatermark.xml",
                "runtimes/linux-x64/native/libvelmora-imgwatermark.so",
                "runtimes/win-x64/native/velmora-imgwatermark.dll",
            }, files);

            Assert.Equal(File.ReadAllBytes(f.LinuxModule), Read(zip, "runtimes/linux-x64/native/libvelmora-imgwatermark.so"));
            Assert.Equal(File.ReadAllBytes(f.WindowsModule), Read(zip, "runtimes/win-x64/native/velmora-imgwatermark.dll"));
            Assert.Equal(Read(zip, "build/Velmora.ImgWatermark.targets"), Read(zip, "buildTransitive/Velmora.ImgWatermark.targets"));
            string docs = System.Text.Encoding.UTF8.GetString(Read(zip, "lib/netstandard2.0/Velmora.ImgWatermark.xml"));
            foreach (string member in new[] { "M:Velmora.ImgWatermark.Text", "M:Velmora.ImgWatermark.Image",
                         "M:Velmora.ImgWatermark.Batch", "M:Velmora.ImgWatermark.Init", "M:Velmora.ImgWatermark.Cleanup",
                         "M:Velmora.ImgWatermark.LastError", "T:Velmora.Position", "T:Velmora.ImgWatermarkException" })
                Assert.Contains("<member name=\"" + member, docs);
        }

        [Fact]
        public void The_manifest_names_the_licence_readme_and_projects_version()
        {
            using var zip = ZipFile.OpenRead(f.Nupkg);
            var doc = XDocument.Load(new MemoryStream(Read(zip, "Velmora.ImgWatermark.nuspec")));
            XNamespace ns = doc.Root.Name.Namespace;
            var meta = doc.Root.Element(ns + "metadata");
            Assert.Equal("Velmora.ImgWatermark", meta.Element(ns + "id").Value);
            var license = meta.Element(ns + "license");
            Assert.Equal("expression", license.Attribute("type").Value);
            Assert.Equal("MIT", license.Value);
            Assert.Equal("README.md", meta.Element(ns + "readme").Value);
            // The version the C host reports is the project's; the package's must match it.
            string hostVersion = f.RunCli("--version").Trim();
            Assert.Equal(hostVersion, "imgwatermark " + meta.Element(ns + "version").Value);
            Assert.EndsWith("Velmora.ImgWatermark." + meta.Element(ns + "version").Value + ".nupkg", f.Nupkg);
        }

        [Fact]
        public void This_process_runs_the_packages_assembly_and_module()
        {
            ImgWatermark.Cleanup();   // makes sure the module is loaded
            string assembly = typeof(ImgWatermark).Assembly.Location;
            Assert.Equal("Velmora.ImgWatermark.dll", Path.GetFileName(assembly));
            string expected = Path.Combine(AppContext.BaseDirectory, "runtimes", "linux-x64", "native",
                "libvelmora-imgwatermark.so");
            string[] mapped = File.ReadAllLines("/proc/self/maps")
                .Select(l => l.Contains('/') ? l.Substring(l.IndexOf('/')) : "")
                .Where(p => Path.GetFileName(p).StartsWith("libvelmora-imgwatermark")).Distinct().ToArray();
            Assert.Equal(new[] { expected }, mapped);
            Assert.Equal(File.ReadAllBytes(f.LinuxModule), File.ReadAllBytes(expected));
        }
    }
}
