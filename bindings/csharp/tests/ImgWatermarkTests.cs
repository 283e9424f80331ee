// Drives bindings/csharp/ImgWatermark.cs against the built module: every
// function, a success and a failure of each with the library's exact message,
// paths with spaces, and the written pictures checked against the same call
// made through the command-line host and by their decoded pixels.
//   mono ImgWatermarkTests.exe WORK_DIR IMGWATERMARK_CLI MAKE_SAMPLE
// Exit status 0 when every check passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using Velmora;

static class ImgWatermarkTests
{
    static string work, cli, makeSample;
    static int failures;

    static void Check(bool condition, string what)
    {
        if (!condition)
        {
            Console.Error.WriteLine("  check failed: " + what);
            failures++;
        }
    }

    static void CheckEqual<T>(T expected, T actual, string what)
    {
        Check(EqualityComparer<T>.Default.Equals(expected, actual),
            what + ": expected [" + expected + "], got [" + actual + "]");
    }

    // Runs action, which must throw ImgWatermarkException carrying message.
    static void CheckThrows(Action action, string message, string what)
    {
        try
        {
            action();
            Check(false, what + ": no exception");
        }
        catch (ImgWatermarkException e)
        {
            CheckEqual(message, e.Message, what + " (exception)");
            CheckEqual(message, ImgWatermark.LastError(), what + " (LastError)");
        }
    }

    static void Run(string program, params string[] args)
    {
        var info = new ProcessStartInfo(program, string.Join(" ", args.Select(a => "\"" + a + "\"")));
        info.UseShellExecute = false;
        info.RedirectStandardOutput = true;
        using (var p = Process.Start(info))
        {
            p.StandardOutput.ReadToEnd();
            p.WaitForExit();
            if (p.ExitCode != 0) throw new Exception(program + " " + info.Arguments + ": exit status " + p.ExitCode);
        }
    }

    static bool SameBytes(string a, string b)
    {
        return File.ReadAllBytes(a).SequenceEqual(File.ReadAllBytes(b));
    }

    // A decoded BMP: 24-bit, or 32-bit BGRA with the usual masks; rows bottom
    // up or top down. Pixels as RGBA, alpha 255 for 24-bit files.
    sealed class Picture
    {
        public int Width, Height;
        public byte[] Rgba;
    }

    static Picture ReadBmp(string path)
    {
        byte[] f = File.ReadAllBytes(path);
        if (f.Length < 54 || f[0] != 'B' || f[1] != 'M') throw new Exception(path + ": not a BMP");
        int offset = BitConverter.ToInt32(f, 10);
        int width = BitConverter.ToInt32(f, 18);
        int height = BitConverter.ToInt32(f, 22);
        int bpp = BitConverter.ToInt16(f, 28);
        if (bpp != 24 && bpp != 32) throw new Exception(path + ": " + bpp + " bits per pixel");
        bool bottomUp = height > 0;
        height = Math.Abs(height);
        int stride = ((width * bpp / 8) + 3) & ~3;
        if (offset + (long)stride * height > f.Length) throw new Exception(path + ": truncated");
        var pic = new Picture { Width = width, Height = height, Rgba = new byte[width * height * 4] };
        for (int y = 0; y < height; y++)
        {
            int row = offset + (bottomUp ? height - 1 - y : y) * stride;
            for (int x = 0; x < width; x++)
            {
                int s = row + x * (bpp / 8), d = (y * width + x) * 4;
                pic.Rgba[d] = f[s + 2];
                pic.Rgba[d + 1] = f[s + 1];
                pic.Rgba[d + 2] = f[s];
                pic.Rgba[d + 3] = bpp == 32 ? f[s + 3] : (byte)255;
            }
        }
        return pic;
    }

    // Counts the pixels that differ between two pictures of one size, inside
    // and outside the box [x0,x1) x [y0,y1).
    static void CountChanges(Picture a, Picture b, int x0, int y0, int x1, int y1, out int inside, out int outside)
    {
        inside = outside = 0;
        if (a.Width != b.Width || a.Height != b.Height) throw new Exception("sizes differ");
        for (int y = 0; y < a.Height; y++)
            for (int x = 0; x < a.Width; x++)
            {
                int i = (y * a.Width + x) * 4;
                bool same = a.Rgba[i] == b.Rgba[i] && a.Rgba[i + 1] == b.Rgba[i + 1] &&
                            a.Rgba[i + 2] == b.Rgba[i + 2] && a.Rgba[i + 3] == b.Rgba[i + 3];
                if (same) continue;
                if (x >= x0 && x < x1 && y >= y0 && y < y1) inside++;
                else outside++;
            }
    }

    static void ErrorTextAndInit()
    {
        // First call into the library in this process.
        CheckEqual("", ImgWatermark.LastError(), "error text after loading");
        ImgWatermark.Init();
        CheckEqual("", ImgWatermark.LastError(), "error text after Init");
        CheckThrows(() => ImgWatermark.Text(Path.Combine(work, "no such.bmp"), Path.Combine(work, "x.png"), "x"),
            "cannot read file: " + Path.Combine(work, "no such.bmp"), "Text on a missing input");
        // Init empties the error text before it prepares the font.
        ImgWatermark.Init();
        CheckEqual("", ImgWatermark.LastError(), "error text after Init following a failure");
        CheckEqual(1, ImgWatermark.Native.imgwatermark_init(), "imgwatermark_init result");
    }

    static void Cleanup()
    {
        CheckThrows(() => ImgWatermark.Text(Path.Combine(work, "photo in.bmp"), Path.Combine(work, "x.png"), ""),
            "empty text string", "Text with empty text");
        CheckEqual("empty text string", ImgWatermark.LastError(), "message stays readable");
        ImgWatermark.Cleanup();
        CheckEqual("", ImgWatermark.LastError(), "error text after Cleanup");
        ImgWatermark.Cleanup();
        CheckEqual("", ImgWatermark.LastError(), "error text after a second Cleanup");
    }

    static void Text(string photo)
    {
        string viaCs = Path.Combine(work, "text cs.png"), viaCli = Path.Combine(work, "text cli.png");
        // A failure first: a success must leave the error text empty.
        CheckThrows(() => ImgWatermark.Text(photo, viaCs, null), "invalid arguments (NULL pointer)", "Text with null text");
        ImgWatermark.Text(photo, viaCs, "(c) Velmora\nproof", 40, 0.5f, 30.0f, Position.Tile, 255, 0, 0);
        CheckEqual("", ImgWatermark.LastError(), "error text after a successful Text");
        Run(cli, "text", "--in", photo, "--out", viaCli, "--text", "(c) Velmora\\nproof", "--size", "40",
            "--opacity", "0.5", "--angle", "30", "--position", "tile", "--color", "255,0,0");
        Check(SameBytes(viaCli, viaCs), "Text writes the same file as the C host");

        // Defaults: size 32, full opacity, unturned, centred, white.
        string centred = Path.Combine(work, "text default.bmp"), centredCli = Path.Combine(work, "text default cli.bmp");
        ImgWatermark.Text(photo, centred, "PROOF");
        Run(cli, "text", "--in", photo, "--out", centredCli, "--text", "PROOF", "--size", "32", "--opacity", "1",
            "--angle", "0", "--position", "center", "--color", "255,255,255");
        Check(SameBytes(centredCli, centred), "Text defaults match the C host's explicit values");
        Picture before = ReadBmp(photo), after = ReadBmp(centred);
        int inside, outside;
        // The 640 x 400 photo, centred 32-pixel text: changes only in the middle band.
        CountChanges(before, after, 200, 150, 440, 250, out inside, out outside);
        Check(inside > 0, "centred text changes pixels in the middle (" + inside + ")");
        CheckEqual(0, outside, "pixels changed away from the centred text");

        // Opacity 0 draws nothing.
        string unchanged = Path.Combine(work, "text opacity 0.bmp");
        ImgWatermark.Text(photo, unchanged, "PROOF", opacity: 0.0f);
        CountChanges(before, ReadBmp(unchanged), 0, 0, 0, 0, out inside, out outside);
        CheckEqual(0, outside, "pixels changed by text at opacity 0");

        CheckThrows(() => ImgWatermark.Text(Path.Combine(work, "missing photo.jpg"), viaCs, "x"),
            "cannot read file: " + Path.Combine(work, "missing photo.jpg"), "Text on a missing input");
    }

    static void Image(string photo, string logo)
    {
        string viaCs = Path.Combine(work, "logo cs.bmp"), viaCli = Path.Combine(work, "logo cli.bmp");
        ImgWatermark.Image(photo, viaCs, logo, 0.8f, Position.BottomRight, 0.5f);
        CheckEqual("", ImgWatermark.LastError(), "error text after a successful Image");
        Run(cli, "image", "--in", photo, "--out", viaCli, "--mark", logo, "--opacity", "0.8",
            "--position", "bottom-right", "--scale", "0.5");
        Check(SameBytes(viaCli, viaCs), "Image writes the same file as the C host");
        int inside, outside;
        // A 160-pixel logo halved, 20 pixels from the bottom-right corner.
        CountChanges(ReadBmp(photo), ReadBmp(viaCs), 540, 300, 620, 380, out inside, out outside);
        Check(inside > 0, "the logo changes pixels in the bottom-right corner (" + inside + ")");
        CheckEqual(0, outside, "pixels changed away from the logo");

        string notImage = Path.Combine(work, "not an image.png");
        File.WriteAllText(notImage, "hello\n");
        CheckThrows(() => ImgWatermark.Image(photo, viaCs, notImage),
            "cannot decode image " + notImage + " (unknown image type)", "Image with an undecodable watermark");
        CheckThrows(() => ImgWatermark.Image(photo, viaCs, null),
            "invalid arguments (NULL pointer)", "Image with a null watermark path");
    }

    static void Batch(string photo)
    {
        string input = Path.Combine(work, "batch in"), outCs = Path.Combine(work, "batch out cs"),
               outCli = Path.Combine(work, "batch out cli");
        Directory.CreateDirectory(input);
        File.Copy(photo, Path.Combine(input, "one.bmp"));
        File.Copy(Path.Combine(work, "text cli.png"), Path.Combine(input, "two.png"));
        File.WriteAllText(Path.Combine(input, "notes.txt"), "not a picture\n");
        CheckEqual(2, ImgWatermark.Batch(input, outCs, "PROOF", 24, 0.6f, Position.TopLeft), "Batch count");
        CheckEqual("", ImgWatermark.LastError(), "error text after a successful Batch");
        Run(cli, "batch", "--in", input, "--out", outCli, "--text", "PROOF", "--size", "24",
            "--opacity", "0.6", "--position", "top-left");
        foreach (string name in new[] { "one.bmp", "two.png" })
            Check(SameBytes(Path.Combine(outCli, name), Path.Combine(outCs, name)),
                "Batch writes " + name + " as the C host does");
        Check(!File.Exists(Path.Combine(outCs, "notes.txt")), "Batch leaves other files alone");
        Check(!SameBytes(Path.Combine(input, "one.bmp"), Path.Combine(outCs, "one.bmp")), "Batch changed one.bmp");

        string empty = Path.Combine(work, "empty dir");
        Directory.CreateDirectory(empty);
        CheckThrows(() => ImgWatermark.Batch(empty, outCs, "PROOF"),
            "batch: no supported images found in " + empty, "Batch over an empty directory");
        string missing = Path.Combine(work, "no such dir");
        CheckThrows(() => ImgWatermark.Batch(missing, outCs, "PROOF"),
            "batch: cannot open input directory: " + missing, "Batch over a missing directory");
        CheckThrows(() => ImgWatermark.Batch(input, outCs, null),
            "batch: invalid arguments (NULL pointer)", "Batch with null text");
    }

    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: ImgWatermarkTests WORK_DIR IMGWATERMARK_CLI MAKE_SAMPLE");
            return 2;
        }
        // Every path below holds spaces.
        work = Path.Combine(Path.GetFullPath(args[0]), "c sharp work");
        cli = args[1];
        makeSample = args[2];
        if (Directory.Exists(work)) Directory.Delete(work, true);
        Directory.CreateDirectory(work);
        string photo = Path.Combine(work, "photo in.bmp"), logo = Path.Combine(work, "logo in.tga");
        Run(makeSample, photo, logo);

        var cases = new List<KeyValuePair<string, Action>>
        {
            new KeyValuePair<string, Action>("error text and Init", ErrorTextAndInit),
            new KeyValuePair<string, Action>("Cleanup", Cleanup),
            new KeyValuePair<string, Action>("Text", () => Text(photo)),
            new KeyValuePair<string, Action>("Image", () => Image(photo, logo)),
            new KeyValuePair<string, Action>("Batch", () => Batch(photo)),
        };
        foreach (var c in cases)
        {
            int before = failures;
            try
            {
                c.Value();
            }
            catch (Exception e)
            {
                Console.Error.WriteLine("  unexpected exception: " + e);
                failures++;
            }
            Console.WriteLine((failures == before ? "[ OK ] " : "[FAIL] ") + c.Key);
        }
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " checks failed");
        return failures == 0 ? 0 : 1;
    }
}
