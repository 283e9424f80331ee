// C# declarations for velmora-imgwatermark: add this one file to a project.
//
// The library name "velmora-imgwatermark" finds velmora-imgwatermark.dll on
// Windows (next to the program or on PATH) and, under Mono or .NET on Linux,
// libvelmora-imgwatermark.so on the loader's search path (LD_LIBRARY_PATH,
// the system library directories). The process must be 64-bit on Windows.
//
// ImgWatermark.Native holds the six exports as the C header declares them;
// ImgWatermark's own methods wrap them: they throw ImgWatermarkException with
// the library's message when a call fails.
using System;
using System.Runtime.InteropServices;

namespace Velmora
{
    /// <summary>Where a watermark goes; the values are the library's position codes.</summary>
    public enum Position
    {
        Center = 0,
        TopLeft = 1,
        TopRight = 2,
        BottomLeft = 3,
        BottomRight = 4,
        Tile = 5,
    }

    /// <summary>A failed library call; Message is the library's own text.</summary>
    public sealed class ImgWatermarkException : Exception
    {
        public ImgWatermarkException(string message) : base(message) { }
    }

    public static class ImgWatermark
    {
        /// <summary>The six exports, one to one. Strings go out as ANSI (the
        /// code page on Windows, UTF-8 under Mono on Linux).</summary>
        public static class Native
        {
            public const string Library = "velmora-imgwatermark";

            // Returns a pointer into the library's own buffer: read it with
            // Marshal.PtrToStringAnsi and never free it (hence IntPtr, not string).
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern IntPtr imgwatermark_last_error();

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_init();

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern void imgwatermark_cleanup();

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_text(string inputPath, string outputPath, string text,
                int fontSize, float opacity, float angle, int position, int red, int green, int blue);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_image(string inputPath, string outputPath, string watermarkPath,
                float opacity, int position, float scale);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
            public static extern int imgwatermark_batch(string inputDir, string outputDir, string text,
                int fontSize, float opacity, int position);
        }

        /// <summary>The message of the last failure, "" when none is recorded.</summary>
        public static string LastError()
        {
            return Marshal.PtrToStringAnsi(Native.imgwatermark_last_error()) ?? "";
        }

        /// <summary>Prepares the embedded font (optional: text calls do it on first use).</summary>
        public static void Init()
        {
            if (Native.imgwatermark_init() != 1) throw new ImgWatermarkException(LastError());
        }

        /// <summary>Empties the library's error text.</summary>
        public static void Cleanup()
        {
            Native.imgwatermark_cleanup();
        }

        /// <summary>Draws text ('\n' starts a line) over inputPath and writes outputPath
        /// (format from its extension .jpg/.jpeg/.png/.bmp, else the input's).</summary>
        public static void Text(string inputPath, string outputPath, string text, int fontSize = 32,
            float opacity = 1.0f, float angle = 0.0f, Position position = Position.Center,
            int red = 255, int green = 255, int blue = 255)
        {
            if (Native.imgwatermark_text(inputPath, outputPath, text, fontSize, opacity, angle, (int)position,
                    red, green, blue) != 1)
                throw new ImgWatermarkException(LastError());
        }

        /// <summary>Lays the picture at watermarkPath (its alpha is used) over inputPath,
        /// scaled by scale, and writes outputPath.</summary>
        public static void Image(string inputPath, string outputPath, string watermarkPath,
            float opacity = 1.0f, Position position = Position.Center, float scale = 1.0f)
        {
            if (Native.imgwatermark_image(inputPath, outputPath, watermarkPath, opacity, (int)position, scale) != 1)
                throw new ImgWatermarkException(LastError());
        }

        /// <summary>Marks every .jpg/.jpeg/.png/.bmp file directly inside inputDir in white
        /// into outputDir; returns how many were written (throws when none was).</summary>
        public static int Batch(string inputDir, string outputDir, string text, int fontSize = 32,
            float opacity = 1.0f, Position position = Position.Center)
        {
            int written = Native.imgwatermark_batch(inputDir, outputDir, text, fontSize, opacity, (int)position);
            if (written <= 0) throw new ImgWatermarkException(LastError());
            return written;
        }
    }
}
