// The six exports through the package's C# layer: each function's success
// (the written file byte for byte the C host's for the same arguments) and
// failures (the library's exact message, in the exception and in LastError),
// the error text after a success, paths with spaces and non-ASCII letters,
// and calls made from several tasks at once.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading.Tasks;
using Velmora;
using Xunit;

namespace ImgWatermarkPackageTests
{
    [Collection("library")]
    public sealed class BindingTests
    {
        readonly Fixture f;

        public BindingTests(Fixture fixture) { f = fixture; }

        // action must throw ImgWatermarkException carrying message, which
        // LastError then gives too.
        static void AssertFails(string message, Action action)
        {
            var e = Assert.Throws<ImgWatermarkException>(action);
            Assert.Equal(message, e.Message);
            Assert.Equal(message, ImgWatermark.LastError());
        }

        // Leaves a message in the error text, so that a following success is
        // seen to empty it.
        static void RecordAFailure()
        {
            Assert.Equal(0, ImgWatermark.Native.imgwatermark_text(null, "y", "x", 32, 1, 0, 0, 255, 255, 255));
            Assert.Equal("invalid arguments (NULL pointer)", ImgWatermark.LastError());
        }

        [Fact]
        public void Init_succeeds_and_empties_the_error_text()
        {
            RecordAFailure();
            ImgWatermark.Init();
            Assert.Equal("", ImgWatermark.LastError());
            RecordAFailure();
            Assert.Equal(1, ImgWatermark.Native.imgwatermark_init());
            Assert.Equal("", ImgWatermark.LastError());
        }

        [Fact]
        public void Cleanup_empties_the_error_text()
        {
            RecordAFailure();
            ImgWatermark.Cleanup();
            Assert.Equal("", ImgWatermark.LastError());
            ImgWatermark.Cleanup();
            Assert.Equal("", ImgWatermark.LastError());
        }

        // One text call: the C# arguments, the same call as the C host's flags.
        public sealed record TextCase(string Output, string Text, int Size, float Opacity, float Angle,
            Position Position, int Red, int Green, int Blue, string[] CliFlags);

        public static IEnumerable<object[]> TextCases() => new[]
        {
            new TextCase("tile red.png", "(c) Velmora\nproof", 40, 0.5f, 30, Position.Tile, 255, 0, 0,
                new[] { "--text", "(c) Velmora\\nproof", "--size", "40", "--opacity", "0.5", "--angle", "30",
                        "--position", "tile", "--color", "255,0,0" }),
            new TextCase("corner.jpg", "(c) 2026 Velmora", 48, 0.8f, 0, Position.BottomRight, 255, 255, 255,
                new[] { "--text", "(c) 2026 Velmora", "--size", "48", "--opacity", "0.8", "--position", "bottom-right" }),
            new TextCase("top left.bmp", "PROOF", 24, 1, -15, Position.TopLeft, 0, 128, 255,
                new[] { "--text", "PROOF", "--size", "24", "--angle", "-15", "--position", "top-left",
                        "--color", "0,128,255" }),
            new TextCase("bottom left.png", "x", 90, 0.3f, 90, Position.BottomLeft, 20, 20, 20,
                new[] { "--text", "x", "--size", "90", "--opacity", "0.3", "--angle", "90", "--position", "bottom-left",
                        "--color", "20,20,20" }),
        }.Select(c => new object[] { c });

        [Theory]
        [MemberData(nameof(TextCases))]
        public void Text_writes_the_C_hosts_file(TextCase c)
        {
            string dir = f.NewDir("text " + Path.GetFileNameWithoutExtension(c.Output));
            string viaCs = Path.Combine(dir, "cs " + c.Output), viaCli = Path.Combine(dir, "cli " + c.Output);
            RecordAFailure();
            ImgWatermark.Text(f.Photo, viaCs, c.Text, c.Size, c.Opacity, c.Angle, c.Position, c.Red, c.Green,
                c.Blue);
            Assert.Equal("", ImgWatermark.LastError());
            f.RunCli(new[] { "text", "--in", f.Photo, "--out", viaCli }.Concat(c.CliFlags).ToArray());
            Fixture.AssertSameFile(viaCli, viaCs);
            Assert.False(File.ReadAllBytes(f.Photo).SequenceEqual(File.ReadAllBytes(viaCs)));
        }

        [Fact]
        public void Text_defaults_are_the_C_hosts_explicit_values()
        {
            string dir = f.NewDir("text defaults");
            string viaCs = Path.Combine(dir, "cs.bmp"), viaCli = Path.Combine(dir, "cli.bmp");
            ImgWatermark.Text(f.Photo, viaCs, "PROOF");
            f.RunCli("text", "--in", f.Photo, "--out", viaCli, "--text", "PROOF", "--size", "32", "--opacity", "1",
                "--angle", "0", "--position", "center", "--color", "255,255,255");
            Fixture.AssertSameFile(viaCli, viaCs);
        }

        [Fact]
        public void Text_failures_carry_the_librarys_message()
        {
            string output = Path.Combine(f.Work, "never written.png");
            string missing = Path.Combine(f.Work, "missing photo.jpg");
            AssertFails("invalid arguments (NULL pointer)", () => ImgWatermark.Text(f.Photo, output, null));
            AssertFails("invalid arguments (NULL pointer)", () => ImgWatermark.Text(null, output, "x"));
            AssertFails("empty text string", () => ImgWatermark.Text(f.Photo, output, ""));
            AssertFails("cannot read file: " + missing, () => ImgWatermark.Text(missing, output, "x"));
            string unwritable = Path.Combine(f.Work, "no such dir", "out.png");
            AssertFails("failed to write image to " + unwritable,
                () => ImgWatermark.Text(f.Photo, unwritable, "x"));
            Assert.False(File.Exists(output));
        }

        [Fact]
        public void Image_writes_the_C_hosts_file()
        {
            string dir = f.NewDir("image");
            foreach (var (name, position, cliPosition, opacity, scale) in new[]
                     {
                         ("bottom right.bmp", Position.BottomRight, "bottom-right", 0.8f, 0.5f),
                         ("centre.png", Position.Center, "center", 1.0f, 1.0f),
                         ("tile.jpg", Position.Tile, "tile", 0.5f, 0.25f),
                     })
            {
                string viaCs = Path.Combine(dir, "cs " + name), viaCli = Path.Combine(dir, "cli " + name);
                RecordAFailure();
                ImgWatermark.Image(f.Photo, viaCs, f.Logo, opacity, position, scale);
                Assert.Equal("", ImgWatermark.LastError());
                f.RunCli("image", "--in", f.Photo, "--out", viaCli, "--mark", f.Logo, "--opacity",
                    opacity.ToString(System.Globalization.CultureInfo.InvariantCulture), "--position", cliPosition,
                    "--scale", scale.ToString(System.Globalization.CultureInfo.InvariantCulture));
                Fixture.AssertSameFile(viaCli, viaCs);
            }
        }

        [Fact]
        public void Image_failures_carry_the_librarys_message()
        {
            string output = Path.Combine(f.Work, "never written.bmp");
            string notImage = Path.Combine(f.Work, "not an image.png");
            File.WriteAllText(notImage, "hello\n");
            string missing = Path.Combine(f.Work, "missing logo.png");
            AssertFails("cannot decode image " + notImage + " (unknown image type)",
                () => ImgWatermark.Image(f.Photo, output, notImage));
            AssertFails("cannot read file: " + missing, () => ImgWatermark.Image(f.Photo, output, missing));
            AssertFails("invalid arguments (NULL pointer)", () => ImgWatermark.Image(f.Photo, output, null));
            Assert.False(File.Exists(output));
        }

        // Two pictures and a text file in a folder.
        string BatchInput(string name)
        {
            string input = f.NewDir(name);
            File.Copy(f.Photo, Path.Combine(input, "one.bmp"));
            ImgWatermark.Text(f.Photo, Path.Combine(input, "two.png"), "source", 20);
            File.WriteAllText(Path.Combine(input, "notes.txt"), "not a picture\n");
            return input;
        }

        [Fact]
        public void Batch_counts_and_writes_the_C_hosts_files()
        {
            string input = BatchInput("batch in");
            string outCs = Path.Combine(f.Work, "batch out cs"), outCli = Path.Combine(f.Work, "batch out cli");
            RecordAFailure();
            Assert.Equal(2, ImgWatermark.Batch(input, outCs, "PROOF", 24, 0.6f, Position.TopLeft));
            Assert.Equal("", ImgWatermark.LastError());
            Assert.Equal("2", f.RunCli("batch", "--in", input, "--out", outCli, "--text", "PROOF", "--size", "24",
                "--opacity", "0.6", "--position", "top-left").Trim());
            Assert.Equal(new[] { "one.bmp", "two.png" },
                Directory.GetFiles(outCs).Select(Path.GetFileName).OrderBy(n => n, StringComparer.Ordinal));
            foreach (string name in new[] { "one.bmp", "two.png" })
                Fixture.AssertSameFile(Path.Combine(outCli, name), Path.Combine(outCs, name));
            Assert.False(File.ReadAllBytes(Path.Combine(input, "one.bmp"))
                .SequenceEqual(File.ReadAllBytes(Path.Combine(outCs, "one.bmp"))));
        }

        [Fact]
        public void Batch_failures_carry_the_librarys_message()
        {
            string empty = f.NewDir("empty dir"), output = Path.Combine(f.Work, "batch never");
            string missing = Path.Combine(f.Work, "no such dir");
            AssertFails("batch: no supported images found in " + empty,
                () => ImgWatermark.Batch(empty, output, "PROOF"));
            AssertFails("batch: cannot open input directory: " + missing,
                () => ImgWatermark.Batch(missing, output, "PROOF"));
            AssertFails("batch: invalid arguments (NULL pointer)",
                () => ImgWatermark.Batch(empty, output, null));
        }

        // UTF-8 on Linux: names in several scripts, in the folder and the file.
        [Fact]
        public void Paths_with_non_ASCII_letters_work_and_come_back_in_messages()
        {
            string dir = f.NewDir("été Ünïcødé ñandú");
            string photo = Path.Combine(dir, "фото 写真.bmp"), logo = Path.Combine(dir, "λογότυπο.tga");
            File.Copy(f.Photo, photo);
            File.Copy(f.Logo, logo);
            string viaCs = Path.Combine(dir, "marqué.png"), viaCli = Path.Combine(dir, "marqué cli.png");
            ImgWatermark.Text(photo, viaCs, "Grüße", 40, 0.7f, 10, Position.Center, 10, 200, 30);
            f.RunCli("text", "--in", photo, "--out", viaCli, "--text", "Grüße", "--size", "40", "--opacity", "0.7",
                "--angle", "10", "--position", "center", "--color", "10,200,30");
            Fixture.AssertSameFile(viaCli, viaCs);

            string logoCs = Path.Combine(dir, "логотип.jpg"), logoCli = Path.Combine(dir, "логотип cli.jpg");
            ImgWatermark.Image(photo, logoCs, logo, 0.9f, Position.TopRight, 0.5f);
            f.RunCli("image", "--in", photo, "--out", logoCli, "--mark", logo, "--opacity", "0.9", "--position",
                "top-right", "--scale", "0.5");
            Fixture.AssertSameFile(logoCli, logoCs);

            string input = f.NewDir(Path.Combine("été Ünïcødé ñandú", "entrée"));
            File.Copy(photo, Path.Combine(input, "première.bmp"));
            string output = Path.Combine(dir, "sortie");
            Assert.Equal(1, ImgWatermark.Batch(input, output, "PROOF"));
            Assert.True(File.Exists(Path.Combine(output, "première.bmp")));

            string missing = Path.Combine(dir, "n'existe pas ½.jpg");
            AssertFails("cannot read file: " + missing, () => ImgWatermark.Text(missing, viaCs, "x"));
        }

        // Text, logo and batch jobs started together from several tasks give
        // the same files as the same jobs run one after another.
        [Fact]
        public async Task Calls_from_several_tasks_at_once_match_sequential_calls()
        {
            string input = BatchInput("parallel batch in");
            var jobs = new List<Action<string>>();
            for (int i = 0; i < 4; i++)
            {
                int n = i;
                jobs.Add(dir => ImgWatermark.Text(f.Photo, Path.Combine(dir, "text" + n + ".png"),
                    "job " + n, 20 + 8 * n, 0.5f + 0.1f * n, 15 * n, (Position)(n + 1), 255, 40 * n, 0));
                jobs.Add(dir => ImgWatermark.Image(f.Photo, Path.Combine(dir, "logo" + n + ".jpg"), f.Logo,
                    0.9f, (Position)n, 0.25f * (n + 1)));
            }
            jobs.Add(dir => Assert.Equal(2, ImgWatermark.Batch(input, Path.Combine(dir, "batch"), "PROOF")));

            string sequential = f.NewDir("sequential"), parallel = f.NewDir("parallel");
            foreach (var job in jobs) job(sequential);
            using (var start = new System.Threading.ManualResetEventSlim(false))
            {
                var tasks = jobs.Select(job => Task.Factory.StartNew(() =>
                {
                    start.Wait();
                    job(parallel);
                }, TaskCreationOptions.LongRunning)).ToArray();
                start.Set();
                await Task.WhenAll(tasks);
            }

            string[] names = Directory.GetFiles(sequential, "*", SearchOption.AllDirectories)
                .Select(p => Path.GetRelativePath(sequential, p)).OrderBy(n => n, StringComparer.Ordinal).ToArray();
            Assert.Equal(10, names.Length);
            Assert.Equal(names, Directory.GetFiles(parallel, "*", SearchOption.AllDirectories)
                .Select(p => Path.GetRelativePath(parallel, p)).OrderBy(n => n, StringComparer.Ordinal));
            foreach (string name in names)
                Fixture.AssertSameFile(Path.Combine(sequential, name), Path.Combine(parallel, name));
        }
    }
}
